// Placeholder until the Help and About windows land.
#include "settings/info_windows.h"

int ShowHelpWindow(HINSTANCE /*instance*/) { return 1; }
int ShowAboutWindow(HINSTANCE /*instance*/) { return 1; }
