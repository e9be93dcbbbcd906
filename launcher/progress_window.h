// The progress window: the modal dialog that owns one job and receives its reports.
#pragma once

#include "core/job_protocol.h"

// Dialog procedure of template IDD_PROGRESS; the creation parameter is the path buffer.
INT_PTR CALLBACK ProgressWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs one job in the progress window and returns its dialog result: the job's result,
// 0 when the user pressed Escape, -1 when the window or its worker could not be created
// (the thread's last error then says why). Escape asks the job to stop at its next block
// and waits a few seconds for its end before the window ends.
INT_PTR ShowProgressWindow(HINSTANCE instance, char* path);

// Runs one job behind a progress window that is never shown (quiet mode), pumping the
// thread's messages until the job ends; returns as ShowProgressWindow does. WM_CLOSE and the
// end of the session cut the job off, as Escape does for the shown window.
INT_PTR RunHiddenProgressWindow(HINSTANCE instance, char* path);

// Runs the job on the calling thread with no window at all, and returns its result as the
// windows do. Nothing can cut it off; it ends within its own limits.
INT_PTR RunJobWithoutWindow(HINSTANCE instance, char* path);

// Whether the last progress window, shown or hidden, was closed before its job had taken its
// label whole: the job is cancelled and its input kept. A job that got that far although the
// window was closed has printed.
bool ProgressWindowCutOff();
