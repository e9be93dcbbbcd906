// The settings window, in which the user chooses and saves the printer connection.
#pragma once

#include "platform/win32.h"

// Runs the settings window modally and returns 1 once it has closed, saved or not.
int ShowSettingsWindow(HINSTANCE instance);

// Dialog procedure of template IDD_SETTINGS and the steps it takes.
INT_PTR CALLBACK SettingsWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void FillSettingsDefaults(HWND window);
void LoadSettingsIntoWindow(HWND window);
void ApplyPrinterTypeLayout(HWND window);
void SaveSettingsFromWindow(HWND window);
