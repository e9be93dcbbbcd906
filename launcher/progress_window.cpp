// The progress window: starts the job's worker and turns its reports into window updates.
#include "launcher/progress_window.h"

#include "core/text_basics.h"
#include "core/transport_job.h"
#include "resources/resource_ids.h"
#include "settings/info_windows.h"
#include "transport/job_worker.h"

namespace {

constexpr SIZE_T kWorkerStackSize = 1024;

// Set when the window ended because its worker could not be started; the reason is then in
// the job's record (g_lastJobError), whatever the dialog's clean-up left behind it.
bool g_workerNotStarted = false;
// The window was closed before its job had taken its label whole: the job is cancelled.
bool g_cutOff = false;

// After a cut-off the window waits for the job's end, so that what is recorded is what the
// job did; this timer, the program's only one, bounds that wait. A job still deleting its
// input when it fires (its label taken whole) is waited for one period more.
constexpr UINT_PTR kCutOffTimer = 1;
constexpr UINT kCutOffWait = 5000; // milliseconds
bool g_cutOffWaiting = false;
int g_cutOffExpiries = 0;
// WM_JOB_DONE has come, or the window has ended: later reports and cut-offs change nothing.
bool g_jobEnded = false;
bool g_windowEnded = false;

// A quiet job's window is never shown and has no modal loop of the system's: its end is kept
// here and ends the message loop of RunHiddenProgressWindow.
bool g_hidden = false;
INT_PTR g_hiddenResult = 0;

// Every window starts with its job neither ended nor cut off.
void StartProgressWindow() {
    g_workerNotStarted = false;
    g_cutOff = false;
    g_cutOffWaiting = false;
    g_jobEnded = false;
    g_windowEnded = false;
}

// The first end counts; a hidden window has no dialog manager to keep it.
void EndProgressWindow(HWND window, INT_PTR result) {
    if (g_windowEnded) {
        return;
    }
    g_windowEnded = true;
    if (!g_hidden) {
        EndDialog(window, result);
        return;
    }
    g_hiddenResult = result;
    PostQuitMessage(0);
}

// Ends the wait after a cut-off: cancelled unless the job took its label whole.
void EndCutOff(HWND window, bool delivered) {
    KillTimer(window, kCutOffTimer);
    g_cutOffWaiting = false;
    g_cutOff = !delivered;
    EndProgressWindow(window, static_cast<INT_PTR>(JobResult::Done));
}

// The job is asked to stop at its next block and its end is waited for. The process ends
// soon after, so what the job changed of the user's (a driver job's swapped default printer)
// is put back now, and nothing is changed after it. A job that has ended, or is already
// being waited for, is not cut off again.
void CutOff(HWND window) {
    if (g_jobEnded || g_windowEnded || g_cutOffWaiting) {
        return;
    }
    CutOffJob();
    RequestJobStop();
    g_cutOffWaiting = true;
    g_cutOffExpiries = 0;
    if (!g_hidden) {
        // Escape takes the window away at once, as it always did.
        ShowWindow(window, SW_HIDE);
    }
    if (SetTimer(window, kCutOffTimer, kCutOffWait, nullptr) == 0) {
        // Nothing would bound the wait: the job is given up now.
        EndCutOff(window, !GiveUpJob());
    }
}

// The wait has run out: the job is given up, unless it is already deleting its input.
void CutOffWaitExpired(HWND window) {
    if (GiveUpJob()) {
        EndCutOff(window, false);
    } else if (++g_cutOffExpiries > 1) {
        EndCutOff(window, true);
    }
}

// The session ends once WM_ENDSESSION has been answered, so the cut-off job's end is waited
// for here, handling the job's reports and the timer meanwhile. A WM_QUIT taken here is put
// back for the window's own loop.
void AwaitCutOffJob() {
    MSG message;
    while (g_cutOffWaiting) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        if (got == -1) {
            return;
        }
        DispatchMessageA(&message);
    }
}

// The job's end. After a cut-off the record follows what the job did: printed when it took
// its label whole, cancelled otherwise, whatever result it ended with.
void JobDone(HWND window, WPARAM error, LPARAM result) {
    if (g_jobEnded || g_windowEnded) {
        return; // given up already: the job's own end comes too late to count
    }
    g_jobEnded = true;
    if (g_cutOffWaiting) {
        bool delivered = JobDeliveredWhole();
        if (delivered) {
            g_lastJobError = static_cast<DWORD>(error);
        }
        // The job has ended: the next one starts uncut.
        ResetJobCutOff();
        EndCutOff(window, delivered);
        return;
    }
    g_lastJobError = static_cast<DWORD>(error);
    EndProgressWindow(window, static_cast<INT_PTR>(result));
}

INT_PTR StartWorker(HWND window, LPARAM path) {
    // The worker reads the handle once when it starts, so it is published first.
    g_progressWindow = window;
    // The job about to start may change what is the user's (the default printer), until
    // Escape says no.
    PrepareJobStart();
    ResetJobCutOff();
    HANDLE worker = CreateThread(nullptr, kWorkerStackSize, JobWorker,
                                 reinterpret_cast<LPVOID>(path), 0, nullptr);
    if (worker == nullptr) {
        // No worker will ever send WM_JOB_DONE: end now rather than wait for Escape.
        g_lastJobError = GetLastError();
        g_workerNotStarted = true;
        EndProgressWindow(window, -1);
        return FALSE;
    }
    // The window waits for the job's WM_JOB_DONE, never for the thread itself: a worker
    // given up after a cut-off ends on its own or with the process.
    CloseHandle(worker);
    return FALSE;
}

void ShowStatus(HWND window, UINT stringId) {
    char text[kTextBufferSize];
    // An id without a string clears the line.
    LoadTextOrEmpty(stringId, text, kTextBufferSize);
    SetDlgItemTextA(window, IDC_STATUS_LINE, text);
}

} // namespace

INT_PTR CALLBACK ProgressWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return StartWorker(window, lParam);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDCANCEL:
            // Escape; for the hidden window, the dialog manager's answer to WM_CLOSE.
            CutOff(window);
            return TRUE;
        case IDC_ABOUT_BUTTON:
            ShowAboutWindow(g_instance);
            return TRUE;
        default:
            return FALSE;
        }
    case WM_JOB_STATUS:
        ShowStatus(window, static_cast<UINT>(wParam));
        return TRUE;
    case WM_JOB_RANGE:
        SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, lParam);
        return TRUE;
    case WM_JOB_ADVANCE:
        SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_DELTAPOS, wParam, 0);
        return TRUE;
    case WM_JOB_DONE:
        JobDone(window, wParam, lParam);
        return TRUE;
    case WM_TIMER:
        if (wParam != kCutOffTimer || !g_cutOffWaiting) {
            return FALSE;
        }
        CutOffWaitExpired(window);
        return TRUE;
    case WM_ENDSESSION:
        // Only the hidden window is cut off here: the shown one keeps the system's handling.
        if (!g_hidden) {
            return FALSE;
        }
        if (wParam != FALSE) {
            CutOff(window);
            AwaitCutOffJob();
        }
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR ShowProgressWindow(HINSTANCE instance, char* path) {
    StartProgressWindow();
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                                     ProgressWindow, reinterpret_cast<LPARAM>(path));
    if (g_workerNotStarted) {
        SetLastError(g_lastJobError);
    }
    return result;
}

INT_PTR RunHiddenProgressWindow(HINSTANCE instance, char* path) {
    StartProgressWindow();
    g_hidden = true;
    g_hiddenResult = 0;
    // The template has no WS_VISIBLE: the window is created hidden and stays so.
    HWND window = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                                     ProgressWindow, reinterpret_cast<LPARAM>(path));
    if (window == nullptr) {
        g_hidden = false;
        return -1;
    }
    // Every end of the window posts WM_QUIT; the loop runs until it has taken it, so that no
    // quit is left behind for the next job's loop.
    MSG message;
    for (;;) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;
        }
        DispatchMessageA(&message);
    }
    if (!g_windowEnded) {
        // The loop ended without the window (someone else's WM_QUIT, or a loop that failed):
        // nothing can wait for the job, which is cut off and given up at once; no further
        // quit is posted.
        CutOffJob();
        KillTimer(window, kCutOffTimer);
        g_cutOffWaiting = false;
        g_cutOff = GiveUpJob();
        g_windowEnded = true;
        g_hiddenResult = static_cast<INT_PTR>(JobResult::Done);
    }
    DestroyWindow(window);
    g_hidden = false;
    if (g_workerNotStarted) {
        SetLastError(g_lastJobError);
    }
    return g_hiddenResult;
}

INT_PTR RunJobWithoutWindow(HINSTANCE /*instance*/, char* path) {
    StartProgressWindow();
    g_progressWindow = nullptr;
    PrepareJobStart();
    ResetJobCutOff();
    g_windowlessJobEnd = {};
    JobWorker(path);
    if (!g_windowlessJobEnd.ended) {
        // Every way through the worker reports its end; one that did not is no success.
        g_lastJobError = ERROR_INVALID_FUNCTION;
        return -1;
    }
    g_lastJobError = g_windowlessJobEnd.error;
    return static_cast<INT_PTR>(g_windowlessJobEnd.result);
}

bool ProgressWindowCutOff() {
    return g_cutOff;
}
