// The process's own entry and the run loop that runs a job, retries it or reports it.
#pragma once

#include "core/job_protocol.h"

// Scans the command line, opens the windows it asks for and runs the job. Returns 1 when
// nothing went wrong (job done, cancelled, or no file wanted) and 0 after an error.
int TagwrightMain(HINSTANCE instance, char* commandLine);

// Runs the progress window for path, again after a pause while the port cannot be opened.
JobResult RunJob(char* path);
