// The process-wide values shared by the launcher, the progress window and the worker.
#include "core/job_protocol.h"

HINSTANCE g_instance = nullptr;
HWND g_progressWindow = nullptr;
DWORD g_lastJobError = 0;
DWORD g_printerUnnamedErrors[2] = {0, 0};
