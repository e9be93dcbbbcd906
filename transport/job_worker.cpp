// Placeholder until the job worker lands.
#include "transport/job_worker.h"

void ReportStatus(HWND progressWindow, UINT stringId) {
    SendMessageA(progressWindow, WM_JOB_STATUS, stringId, 0);
}

void ReportDone(HWND progressWindow, DWORD error, JobResult result) {
    SendMessageA(progressWindow, WM_JOB_DONE, error, static_cast<LPARAM>(result));
}

DWORD WINAPI JobWorker(LPVOID pathBuffer) {
    (void)pathBuffer;
    HWND window = g_progressWindow;
    ReportStatus(window, 120);
    ReportStatus(window, 121);
    ReportDone(window, ERROR_NOT_SUPPORTED, JobResult::PortOpenError);
    return static_cast<DWORD>(JobResult::PortOpenError);
}
