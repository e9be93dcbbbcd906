// The progress window: the modal dialog that owns one job and receives its reports.
#pragma once

#include "core/job_protocol.h"

// Dialog procedure of template IDD_PROGRESS; the creation parameter is the path buffer.
INT_PTR CALLBACK ProgressWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs one job in the progress window and returns its dialog result: the job's result,
// 0 when the user pressed Escape, -1 when the window or its worker could not be created
// (the thread's last error then says why).
INT_PTR ShowProgressWindow(HINSTANCE instance, char* path);
