// The progress window: starts the job's worker and turns its reports into window updates.
#include "launcher/progress_window.h"

#include "core/text_basics.h"
#include "resources/resource_ids.h"
#include "settings/info_windows.h"
#include "transport/job_worker.h"

namespace {

constexpr SIZE_T kWorkerStackSize = 1024;

// Set when the window ended because its worker could not be started; the reason is then in
// the job's record (g_lastJobError), whatever the dialog's clean-up left behind it.
bool g_workerNotStarted = false;
// The window was closed before its job ended: the job is cut off, not done.
bool g_cutOff = false;

// A quiet job's window is never shown and has no modal loop of the system's: its end is kept
// here and ends the message loop of RunHiddenProgressWindow.
bool g_hidden = false;
bool g_hiddenEnded = false;
INT_PTR g_hiddenResult = 0;

// The first end counts; a hidden window has no dialog manager to keep it.
void EndProgressWindow(HWND window, INT_PTR result) {
    if (!g_hidden) {
        EndDialog(window, result);
        return;
    }
    if (!g_hiddenEnded) {
        g_hiddenEnded = true;
        g_hiddenResult = result;
        PostQuitMessage(0);
    }
}

// The worker is not told; its later reports are lost with the window. The process ends soon
// after, so what the job changed of the user's (a driver job's swapped default printer) is
// put back now, and nothing is changed after it.
void CutOff(HWND window) {
    CutOffJob();
    g_cutOff = true;
    EndProgressWindow(window, static_cast<INT_PTR>(JobResult::Done));
}

INT_PTR StartWorker(HWND window, LPARAM path) {
    // The worker reads the handle once when it starts, so it is published first.
    g_progressWindow = window;
    // The job about to start may change what is the user's (the default printer), until
    // Escape says no.
    PrepareJobStart();
    HANDLE worker = CreateThread(nullptr, kWorkerStackSize, JobWorker,
                                 reinterpret_cast<LPVOID>(path), 0, nullptr);
    if (worker == nullptr) {
        // No worker will ever send WM_JOB_DONE: end now rather than wait for Escape.
        g_lastJobError = GetLastError();
        g_workerNotStarted = true;
        EndProgressWindow(window, -1);
        return FALSE;
    }
    // Nothing waits for the worker; it ends on its own or with the process.
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
        if (g_hidden && g_hiddenEnded) {
            return TRUE; // cut off already: the job's own end comes too late to count
        }
        g_lastJobError = static_cast<DWORD>(wParam);
        EndProgressWindow(window, static_cast<INT_PTR>(lParam));
        return TRUE;
    case WM_ENDSESSION:
        // Only the hidden window is cut off here: the shown one keeps the system's handling.
        if (!g_hidden) {
            return FALSE;
        }
        if (wParam != FALSE) {
            CutOff(window);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR ShowProgressWindow(HINSTANCE instance, char* path) {
    g_workerNotStarted = false;
    g_cutOff = false;
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                                     ProgressWindow, reinterpret_cast<LPARAM>(path));
    if (g_workerNotStarted) {
        SetLastError(g_lastJobError);
    }
    return result;
}

INT_PTR RunHiddenProgressWindow(HINSTANCE instance, char* path) {
    g_workerNotStarted = false;
    g_cutOff = false;
    g_hidden = true;
    g_hiddenEnded = false;
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
    if (!g_hiddenEnded) {
        // The loop ended without the window (someone else's WM_QUIT, or a loop that failed):
        // the job is cut off, and no further quit is posted.
        CutOffJob();
        g_cutOff = true;
        g_hiddenEnded = true;
        g_hiddenResult = static_cast<INT_PTR>(JobResult::Done);
    }
    DestroyWindow(window);
    g_hidden = false;
    if (g_workerNotStarted) {
        SetLastError(g_lastJobError);
    }
    return g_hiddenResult;
}

bool ProgressWindowCutOff() {
    return g_cutOff;
}
