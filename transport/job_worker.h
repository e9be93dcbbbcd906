// The job worker thread: the thread routine of one job, and the job controls the progress
// window uses around it without knowing which transport runs.
#pragma once

#include "core/job_protocol.h"

// Thread routine of one job; the parameter is the launcher's path buffer.
DWORD WINAPI JobWorker(LPVOID pathBuffer);

// Called as each job starts: its transport may again change, for the length of the job,
// what belongs to the user (a driver job swaps the default printer).
void PrepareJobStart();

// Called when the user cuts the job off and the process is about to end: what a running job
// has changed of the user's is put back now, and no job changes it after this.
void CutOffJob();
