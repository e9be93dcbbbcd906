// What a finished job leaves for the host and the administrator: the result file the
// command line asked for and one line in the per-user job log.
#pragma once

#include "core/job_request.h"

struct FinishedJob {
    const char* result; // "printed", "failed" or "cancelled"
    int exitCode;       // the process's exit code
    DWORD error;        // the system code of the failure; 0 when printed
    // The text the user saw, or would have seen in quiet mode; "" when none. In the
    // encoding of the path (UTF-8 when utf8Path, ANSI otherwise).
    const char* message;
    const char* path;
    bool utf8Path;
    DWORD milliseconds; // from the start of the process to the end of the job
};

// Appends the job's line to the job log and, when resultPath is not "", writes the result
// file (resultPath in the encoding of the path). Neither can fail the job or hold it up.
void RecordFinishedJob(const FinishedJob* job, const char* resultPath);
