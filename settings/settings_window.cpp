// Placeholder until the settings window lands.
#include "settings/settings_window.h"

int ShowSettingsWindow(HINSTANCE /*instance*/) { return 1; }
