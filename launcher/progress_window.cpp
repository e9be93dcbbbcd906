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
        EndDialog(window, -1);
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
            // The worker is not told; its later reports are lost with the window. The process
            // ends soon after, so what the job changed of the user's (a driver job's swapped
            // default printer) is put back now, and nothing is changed after it.
            CutOffJob();
            EndDialog(window, static_cast<INT_PTR>(JobResult::Done));
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
        g_lastJobError = static_cast<DWORD>(wParam);
        EndDialog(window, static_cast<INT_PTR>(lParam));
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR ShowProgressWindow(HINSTANCE instance, char* path) {
    g_workerNotStarted = false;
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                                     ProgressWindow, reinterpret_cast<LPARAM>(path));
    if (g_workerNotStarted) {
        SetLastError(g_lastJobError);
    }
    return result;
}
