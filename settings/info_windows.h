// The Help and About windows (one dialog template, two sets of texts).
#pragma once

#include "platform/win32.h"

// Each runs its window as a modal dialog box without an owner, waits until it closes and
// returns 1.
int ShowHelpWindow(HINSTANCE instance);
int ShowAboutWindow(HINSTANCE instance);
