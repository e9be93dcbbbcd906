// The process's own entry and the run loop that runs a job, retries it or reports it.
#pragma once

#include "core/job_protocol.h"
#include "launcher/command_line.h"
#include "watch/watch_status.h"

struct FinishedJob;

// Scans the command line, opens the windows it asks for and runs the job. Returns 1 when
// nothing went wrong (job done, cancelled, or no file wanted) and 0 after an error; in quiet
// mode, the exit code of the job's class (1 printed, 2 to 11 a class of failure).
int TagwrightMain(HINSTANCE instance, char* commandLine);

// TagwrightMain after its scan: runs what the options ask for.
int RunLaunchOptions(HINSTANCE instance, const LaunchOptions* options);

// Where every job that ran, or was refused, is recorded once: RecordFinishedJob, unless a
// test listens in.
extern void (*g_recordFinishedJob)(const FinishedJob* job, const char* resultPath);

// The presence a watched folder's watcher shows without -q (the notification icon); nullptr:
// none.
extern WatchPresenceStart g_watchPresenceStart;
extern WatchPresenceEnd g_watchPresenceEnd;

// Runs the progress window for path, again after a pause while the port cannot be opened
// (not in quiet mode, where the transport's own attempts are all a job makes).
JobResult RunJob(char* path);
