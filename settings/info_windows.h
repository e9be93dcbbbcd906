// The Help and About windows (one dialog template, two sets of texts).
#pragma once

#include "platform/win32.h"

int ShowHelpWindow(HINSTANCE instance);
int ShowAboutWindow(HINSTANCE instance);
