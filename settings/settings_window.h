// The settings window, in which the user chooses and saves the printer connection.
#pragma once

#include "platform/win32.h"

int ShowSettingsWindow(HINSTANCE instance);
