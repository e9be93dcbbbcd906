// What a finished job leaves for the host and the administrator: the result file the
// command line asked for and one line in the per-user job log.
//
// The result file is one JSON object in UTF-8, its keys in this order: "result", "exit_code",
// "error", "message", "file", "target", "bytes", "milliseconds", "confirmed", "printer",
// "settings" (where the job's printer came from: "policy", "user", "machine", "command line",
// or "" before the job knew). It is
// written beside its place under a temporary name and renamed into place, so that it is there whole
// or not at all (an older one stays as it was).
//
// The job log is %LOCALAPPDATA%\Tagwright\jobs.log, one line per job in UTF-8 ending in
// CR LF, its fields separated by tabs:
//   local time with its offset (2026-12-08T14:03:27+01:00), the input file, its size in bytes
//   ("-" when unknown), the printer's device URI, the bytes the printer accepted, the result,
//   the system code, the milliseconds, what the printer confirmed, its last state in words.
// A log that has reached 1 MiB is moved to jobs.log.1 (replacing the older one) before the
// line is added. Instances take turns through a named mutex; one that cannot have it within
// two seconds still appends its line in one write, but does not move the log.
#pragma once

#include "core/job_request.h"

struct FinishedJob {
    // "printed", "failed", "cancelled", "held" or "unconfirmed"
    const char* result;
    int exitCode; // the process's exit code
    DWORD error;  // the system code of the failure; 0 when printed
    // The text the user saw, or would have seen in quiet mode; "" when none. In the
    // encoding of the path (UTF-8 when utf8Path, ANSI otherwise).
    const char* message;
    const char* path;
    bool utf8Path;
    DWORD milliseconds; // from the start of the process to the end of the job
    // "printed", "received", "closed" or "no"; nullptr reads as "no".
    const char* confirmed = nullptr;
    // The last state the printer reported in words ("ready"); "" or nullptr when none.
    const char* printer = nullptr;
};

// Appends the job's line to the job log and, when resultPath is not "", writes the result
// file (resultPath in the encoding of the path). Neither can fail the job or hold it up
// beyond the log's wait for its turn; what cannot be written is left out.
void RecordFinishedJob(const FinishedJob* job, const char* resultPath);
