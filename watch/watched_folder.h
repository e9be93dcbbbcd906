// The watched folder: every label file dropped into a folder is printed, in order, once.
//
//   tagwright.exe --watch FOLDER [--keep] [--printer TARGET] [--delay MS] [--attempts N]
//                 [--timeout S] [--confirm ...] [-q]
//   tagwright.exe --watch FOLDER --stop
//
// Every file's job runs as a quiet job (no window, no message box) with the options given;
// without --printer each reads the stored settings afresh. -q says only whether the watcher
// shows its notification icon. --result is not used: each failed file's result object goes
// beside it. A label file named with --watch, or --stop or --keep without it, refuses the
// command line (exit code 2).
// Layout: FOLDER holds the files waiting; the watcher makes, where they are missing,
//   FOLDER\printing\  the one file being sent (or waiting to be tried again);
//   FOLDER\printed\   files sent, with --keep (without it they are deleted);
//   FOLDER\failed\    files that failed, each with NAME.json beside it: the result object of
//                     its job, as --result writes it. A name already there gets " (2)" etc.
// Which files: every regular file directly in FOLDER, except names beginning with '.' or '~',
// names ending in .tmp .part .partial .crdownload .download (any case), and the watcher's
// own folders. A file is taken once its size and last-write time have not changed for one
// second and it can be opened with no sharing (its writer has closed it); the oldest
// last-write time goes first, then the name. The folder is scanned on every change
// notification and every 2 seconds besides. The claim is a rename into printing\: two
// watchers, or a watcher and a person, never send one file twice.
// Outcomes: printed, held or unconfirmed: deleted (moved to printed\ with --keep). After a
// label the printer holds, nothing more is sent until the printer reports ready (asked every
// 5 seconds). A failure of the file or its settings: to failed\ with its JSON; the next file
// goes on. The printer not reachable, not taking data or not ready: the file stays first in
// line (in printing\) and is tried again after 5, 10 and 20 seconds, then every 60 seconds;
// later files wait behind it. Each job is in the job log, as single jobs are.
// At start, files found in printing\ (left by a watcher that was killed or lost power) go to
// failed\ with the reason "interrupted: it may have been printed"; they are never sent again
// on their own: a person moves such a file back into FOLDER to send it again.
// One watcher per folder (a named mutex from its full path, case ignored). --stop signals it
// through a named event: it finishes the file in hand, then ends (a file waiting to be tried
// again goes back into FOLDER). The end of the session, or WM_QUIT, ends it the same way.
//
// Exit codes (quiet, -q): 1 the watcher ended when asked to; 14 the folder is already
// watched; 3 the folder cannot be watched (missing, or its subfolders cannot be made);
// --stop: 1 a watcher was asked to stop, 15 no watcher of that folder runs. Without -q a
// watcher that could not start, or a --stop with no watcher, shows one message and ends
// with 0; otherwise 1.
#pragma once

#include "core/job_request.h"
#include "watch/watch_status.h"

constexpr int kWatchEnded = 1;
constexpr int kWatchFolderUnusable = 3;
constexpr int kWatchAlreadyWatched = 14;
constexpr int kWatchNoWatcher = 15;

// Runs one job for the file at path (UTF-8, kPathBufferSize bytes, which the job may
// rewrite), records it in the job log and writes its result object to resultPath (UTF-8).
// message (kTextBufferSize bytes) gets the job's message in UTF-8, "" when it printed.
// *cutOff: the job was cut off (the session is ending), so the file's fate is unknown.
using WatchJobRun = JobResult (*)(void* context, char* path, const char* resultPath, char* message,
                                  bool* cutOff);

// Writes the result object of the job runJob has just run to resultPath (UTF-8). Where a
// request has one, runJob is given no result path, and only a failed file's object is written.
using WatchResultWrite = void (*)(void* context, const char* resultPath);

struct WatchRequest {
    HINSTANCE instance;
    const char* folder; // as given, UTF-8
    bool keep;          // --keep: printed files go to printed\ rather than being deleted
    WatchJobRun runJob;
    WatchResultWrite writeResult; // nullptr: runJob writes every job's result object
    void* jobContext;
    // The presence (the notification icon); both nullptr for none.
    WatchPresenceStart presenceStart;
    WatchPresenceEnd presenceEnd;
    // Tests only: watchers of one folder side by side, to race for its files.
    bool withoutFolderMutex;
};

// Watches the folder until it is asked to stop; returns one of the kWatch* codes.
int RunWatchedFolder(const WatchRequest* request);

// --stop: asks the watcher of folder (UTF-8) to stop; kWatchEnded when one was asked,
// kWatchNoWatcher when none runs, kWatchFolderUnusable when the name cannot be made full.
int StopWatchedFolder(const char* folder);

// How a job's end decides its file's fate.
enum class WatchedEnd {
    Sent,          // printed or unconfirmed: the file is done with
    Held,          // sent, and the printer holds it: done with, and the printer waited for
    FileFailed,    // the file or its settings: to failed\, the next file goes on
    PrinterFailed, // the printer: the file is tried again later, first in line
};
WatchedEnd ClassifyJobEnd(JobResult result, JobTransport transport);

// The pause before the next try of a file whose printer failed `failures` times in a row.
DWORD RetryPause(int failures);
