// What a watched folder's watcher tells the person at the machine: its state, and the files
// that failed. The watcher calls the hooks of a presence (the notification icon, or none in
// quiet mode) on its own thread, which also handles the presence's window messages.
#pragma once

#include "core/job_protocol.h"

enum class WatchState : int {
    Watching = 0,
    // The printer could not be reached, stopped taking data or was not ready: the file first
    // in line is tried again later.
    Retrying,
    // The printer holds a label it has not printed: nothing more is sent until it reports
    // ready again.
    WaitingForPrinter,
};

struct WatchStatus {
    const char* folder; // the folder's full path, UTF-8
    WatchState state;
    int waiting; // files waiting in the folder, the one in hand included
    // Why the printer is retried or waited for, in words (UTF-8); "" while watching.
    const char* reason;
};

struct WatchPresence {
    void* context;
    // The state or the count changed.
    void (*statusChanged)(void* context, const WatchStatus* status);
    // A file was moved to the failed folder; both texts UTF-8.
    void (*fileFailed)(void* context, const char* fileName, const char* reason);
    // The printer has just become unreachable (once per spell, not per retry); UTF-8.
    void (*printerUnreachable)(void* context, const char* reason);
};

// Starts a presence for the watcher of folder (full path, UTF-8), whose "Stop" sets
// stopEvent; fills presence. False when it cannot be shown (the watcher runs on without).
using WatchPresenceStart = bool (*)(HINSTANCE instance, const char* folder, HANDLE stopEvent,
                                    WatchPresence* presence);
// Ends what the start made; called once, after the last hook.
using WatchPresenceEnd = void (*)(WatchPresence* presence);
