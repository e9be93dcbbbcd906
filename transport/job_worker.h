// The job worker thread: the thread routine of one job, and the job controls the progress
// window uses around it without knowing which transport runs.
#pragma once

#include "core/job_protocol.h"

// Thread routine of one job; the parameter is the launcher's path buffer.
DWORD WINAPI JobWorker(LPVOID pathBuffer);
