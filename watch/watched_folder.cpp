// The watcher of a folder: its one-per-folder mutex and stop event, the recovery of printing\,
// and the loop that waits for files, claims them one at a time, runs their jobs and disposes of
// each by its job's end.
#include "watch/watched_folder.h"

#include "watch/folder_rules.h"
#include "watch/printer_ready.h"
#include "watch/watch_files.h"
#include "watch/watch_names.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kScanEvery = 2000;
constexpr DWORD kAskEvery = 5000;
const DWORD kRetryPauses[] = {5000, 10000, 20000, 60000};
// Enough for a path in UTF-8: at most three bytes for each wide unit.
constexpr int kUtf8PathSize = 3 * kWatchPathSize;

struct Watcher {
    const WatchRequest* request;
    WCHAR folder[kWatchPathSize];
    char folderUtf8[kUtf8PathSize];
    HANDLE mutex;
    HANDLE stopEvent;
    HANDLE notification; // INVALID_HANDLE_VALUE where the folder gives none: scans alone
    WaitingFiles waiting;
    WatchPresence presence;
    bool presenceShown;
    WatchState state;
    char reason[kTextBufferSize];
    bool reported;
    WatchState reportedState;
    int reportedWaiting;
    // The file in printing\ whose printer failed, tried again after a pause.
    bool inHand;
    WCHAR inHandName[kWatchNameSize];
    int failures;
    DWORD failedAt;
    // After a label the printer holds: the printer asked until it is ready.
    bool awaitingPrinter;
    DWORD askedAt;
    char heldTarget[kTargetUriSize];
    bool stop;
    bool changed;
    bool scanned;
    DWORD lastScan;
    // The job's buffers: its path, where its result object goes, its message.
    char path[kPathBufferSize];
    char resultPath[kPathBufferSize];
    WCHAR resultWide[kWatchPathSize];
    char message[kTextBufferSize];
};

void CopyText(char* out, std::size_t size, const char* text) {
    snprintf(out, size, "%s", text != nullptr ? text : "");
}

void ReportStatus(Watcher* w) {
    int waiting = w->waiting.count + (w->inHand ? 1 : 0);
    if (w->reported && w->reportedState == w->state && w->reportedWaiting == waiting) {
        return;
    }
    w->reported = true;
    w->reportedState = w->state;
    w->reportedWaiting = waiting;
    if (w->presence.statusChanged != nullptr) {
        WatchStatus status{w->folderUtf8, w->state, waiting,
                           w->state == WatchState::Watching ? "" : w->reason};
        w->presence.statusChanged(w->presence.context, &status);
    }
}

void TellFileFailed(void* context, const char* name, const char* reason) {
    auto* w = static_cast<Watcher*>(context);
    if (w->presence.fileFailed != nullptr) {
        w->presence.fileFailed(w->presence.context, name, reason);
    }
}

bool StopAsked(Watcher* w) {
    if (!w->stop && WaitForSingleObject(w->stopEvent, 0) == WAIT_OBJECT_0) {
        w->stop = true;
    }
    return w->stop;
}

// Handles the messages of this thread's windows (the presence's); the end of the session and
// WM_QUIT ask the watcher to stop.
void PumpMessages(Watcher* w) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT ||
            (message.message == WM_ENDSESSION && message.wParam != FALSE)) {
            w->stop = true;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void WaitForWork(Watcher* w, DWORD milliseconds) {
    HANDLE handles[2] = {w->stopEvent, w->notification};
    DWORD count = w->notification != INVALID_HANDLE_VALUE ? 2 : 1;
    DWORD woke = MsgWaitForMultipleObjects(count, handles, FALSE, milliseconds, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) {
        w->stop = true;
    } else if (count == 2 && woke == WAIT_OBJECT_0 + 1) {
        w->changed = true;
        if (!FindNextChangeNotification(w->notification)) {
            FindCloseChangeNotification(w->notification);
            w->notification = INVALID_HANDLE_VALUE;
        }
    } else if (woke == WAIT_FAILED) {
        // Nothing to wait on: the pause alone keeps the scans from running hot.
        Sleep(milliseconds < kScanEvery ? milliseconds : kScanEvery);
    }
    PumpMessages(w);
}

bool NameWithJson(LPCWSTR name, WCHAR* out, int size) {
    int at = 0;
    for (; name[at] != 0; ++at) {
        if (at >= size - 6) {
            return false;
        }
        out[at] = name[at];
    }
    const WCHAR kJson[] = L".json";
    for (int index = 0; index < 6; ++index) {
        out[at + index] = kJson[index];
    }
    return true;
}

// The file failed: to failed\ under a name of its own, with the job's result object beside it
// (or, where the job could not write one, a record of the message).
void DisposeFailed(Watcher* w, LPCWSTR name) {
    WCHAR finalName[kWatchNameSize];
    if (!MoveOutOfPrinting(w->folder, name, kFailedFolder, finalName)) {
        DeleteFileW(w->resultWide);
        return;
    }
    WCHAR recordName[kWatchNameSize + 8];
    WCHAR recordPath[kWatchPathSize];
    if (NameWithJson(finalName, recordName, kWatchNameSize + 8) &&
        JoinWatchPath(recordPath, kWatchPathSize, w->folder, kFailedFolder, recordName) &&
        !MoveFileExW(w->resultWide, recordPath, MOVEFILE_REPLACE_EXISTING)) {
        WCHAR filePath[kWatchPathSize];
        char fileUtf8[kUtf8PathSize];
        if (JoinWatchPath(filePath, kWatchPathSize, w->folder, kFailedFolder, finalName) &&
            WideToUtf8(filePath, fileUtf8, kUtf8PathSize)) {
            WriteFailureRecord(recordPath, fileUtf8, w->message);
        }
    }
    char nameUtf8[3 * kWatchNameSize];
    if (WideToUtf8(finalName, nameUtf8, sizeof nameUtf8)) {
        TellFileFailed(w, nameUtf8, w->message);
    }
}

void DisposeSent(Watcher* w, LPCWSTR name) {
    if (w->request->keep) {
        WCHAR finalName[kWatchNameSize];
        MoveOutOfPrinting(w->folder, name, kPrintedFolder, finalName);
        return;
    }
    WCHAR path[kWatchPathSize];
    if (JoinWatchPath(path, kWatchPathSize, w->folder, kPrintingFolder, name)) {
        DeleteFileW(path);
    }
}

// Runs the job of printing\name and disposes of the file by its end.
void RunFile(Watcher* w, LPCWSTR name) {
    WCHAR path[kWatchPathSize];
    if (!JoinWatchPath(path, kWatchPathSize, w->folder, kPrintingFolder, name) ||
        !WideToUtf8(path, w->path, kPathBufferSize)) {
        // A name too long for a job's path buffer cannot be sent: it fails as a file.
        CopyText(w->message, sizeof w->message, "the file's full name is too long to send");
        DisposeFailed(w, name);
        return;
    }
    w->message[0] = '\0';
    bool cutOff = false;
    bool resultLater = w->request->writeResult != nullptr;
    JobResult result = w->request->runJob(w->request->jobContext, w->path,
                                          resultLater ? "" : w->resultPath, w->message, &cutOff);
    if (cutOff) {
        // The session is ending: the file stays in printing\, its fate unknown.
        DeleteFileW(w->resultWide);
        w->inHand = false;
        w->stop = true;
        return;
    }
    WatchedEnd end = ClassifyJobEnd(result, g_jobOutcome.transport);
    if (end != WatchedEnd::FileFailed) {
        DeleteFileW(w->resultWide);
    }
    if (end == WatchedEnd::PrinterFailed) {
        if (!w->inHand) {
            for (int at = 0; at < kWatchNameSize; ++at) {
                w->inHandName[at] = name[at];
                if (name[at] == 0) {
                    break;
                }
            }
        }
        w->inHand = true;
        ++w->failures;
        w->failedAt = GetTickCount();
        CopyText(w->reason, sizeof w->reason, w->message);
        if (w->failures == 1 && w->presence.printerUnreachable != nullptr) {
            w->presence.printerUnreachable(w->presence.context, w->reason);
        }
        w->state = WatchState::Retrying;
        return;
    }
    w->inHand = false;
    w->failures = 0;
    w->state = WatchState::Watching;
    if (end == WatchedEnd::FileFailed) {
        if (resultLater) {
            w->request->writeResult(w->request->jobContext, w->resultPath);
        }
        DisposeFailed(w, name);
        return;
    }
    DisposeSent(w, name);
    if (end == WatchedEnd::Held) {
        w->awaitingPrinter = true;
        w->askedAt = GetTickCount();
        CopyText(w->heldTarget, sizeof w->heldTarget, g_jobOutcome.target);
        CopyText(w->reason, sizeof w->reason, w->message);
        w->state = WatchState::WaitingForPrinter;
    }
}

// Takes the settled file at index once its writer has closed it: claims it, then runs it.
void TakeFile(Watcher* w, int index) {
    WaitingFile* file = &w->waiting.files[index];
    WCHAR path[kWatchPathSize];
    if (!JoinWatchPath(path, kWatchPathSize, w->folder, nullptr, file->name)) {
        DropWaitingFile(&w->waiting, index);
        return;
    }
    if (!WriterClosed(path)) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            DropWaitingFile(&w->waiting, index);
        } else {
            // Still open for writing: its quiet second starts again.
            file->sighting.unchangedSince = file->sighting.lastSeen;
        }
        return;
    }
    WCHAR name[kWatchNameSize];
    std::memcpy(name, file->name, sizeof name);
    DropWaitingFile(&w->waiting, index);
    if (ClaimFile(w->folder, name)) {
        RunFile(w, name);
    }
}

bool ScanDue(const Watcher* w, DWORD now) {
    if (!w->scanned || now - w->lastScan >= kScanEvery) {
        return true;
    }
    if (NextSettled(&w->waiting) >= 0) {
        return false;
    }
    return w->changed || UntilSettleCheck(&w->waiting, now, kScanEvery) == 0;
}

DWORD Left(DWORD since, DWORD pause, DWORD now) {
    DWORD spent = now - since;
    return spent >= pause ? 0 : pause - spent;
}

// One turn of the loop: scans when due, then runs what is due, or waits for it.
void Turn(Watcher* w) {
    DWORD now = GetTickCount();
    if (ScanDue(w, now)) {
        ScanFolder(w->folder, &w->waiting, now);
        w->scanned = true;
        w->lastScan = now;
        w->changed = false;
    }
    ReportStatus(w);
    DWORD wait = Left(w->lastScan, kScanEvery, now);
    if (w->inHand) {
        DWORD left = Left(w->failedAt, RetryPause(w->failures), now);
        if (left == 0) {
            WCHAR name[kWatchNameSize];
            std::memcpy(name, w->inHandName, sizeof name);
            RunFile(w, name);
            return;
        }
        wait = left < wait ? left : wait;
    } else if (w->awaitingPrinter) {
        DWORD left = Left(w->askedAt, kAskEvery, now);
        if (left == 0) {
            w->askedAt = now;
            if (PrinterReportsReady(w->heldTarget)) {
                w->awaitingPrinter = false;
                w->state = WatchState::Watching;
            }
            return;
        }
        wait = left < wait ? left : wait;
    } else {
        int next = NextSettled(&w->waiting);
        if (next >= 0) {
            TakeFile(w, next);
            return;
        }
        DWORD settle = UntilSettleCheck(&w->waiting, now, kScanEvery);
        wait = settle < wait ? settle : wait;
    }
    WaitForWork(w, wait);
}

// The folder, its names and its subfolders, and the result path of its jobs. Returns 0 when
// the watcher can run, else its exit code.
int PrepareFolder(Watcher* w) {
    WCHAR given[kWatchPathSize];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, w->request->folder, -1, given,
                            kWatchPathSize) == 0 ||
        !FullFolderPath(given, w->folder, kWatchPathSize) ||
        !WideToUtf8(w->folder, w->folderUtf8, kUtf8PathSize)) {
        return kWatchFolderUnusable;
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(w->folder, GetFileExInfoStandard, &attributes) ||
        (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return kWatchFolderUnusable;
    }
    char mutexName[kWatchObjectNameSize];
    char stopName[kWatchObjectNameSize];
    WatchObjectNames(w->folder, mutexName, stopName);
    if (!w->request->withoutFolderMutex) {
        w->mutex = CreateMutexA(nullptr, FALSE, mutexName);
        if (w->mutex == nullptr) {
            return kWatchFolderUnusable;
        }
        DWORD taken = WaitForSingleObject(w->mutex, 0);
        if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) {
            CloseHandle(w->mutex);
            w->mutex = nullptr;
            return kWatchAlreadyWatched;
        }
    }
    w->stopEvent = CreateEventA(nullptr, TRUE, FALSE, stopName);
    if (w->stopEvent == nullptr) {
        return kWatchFolderUnusable;
    }
    // A stop meant for the watcher before this one, still ending as this one started.
    if (GetLastError() == ERROR_ALREADY_EXISTS && w->mutex != nullptr) {
        ResetEvent(w->stopEvent);
    }
    if (!MakeWatchFolders(w->folder)) {
        return kWatchFolderUnusable;
    }
    char resultName[64];
    snprintf(resultName, sizeof resultName, "~result-%lu.json",
             static_cast<unsigned long>(GetCurrentProcessId()));
    WCHAR resultNameWide[64];
    if (MultiByteToWideChar(CP_UTF8, 0, resultName, -1, resultNameWide, 64) == 0 ||
        !JoinWatchPath(w->resultWide, kWatchPathSize, w->folder, kFailedFolder, resultNameWide) ||
        !WideToUtf8(w->resultWide, w->resultPath, kPathBufferSize)) {
        return kWatchFolderUnusable;
    }
    if (!OpenWaitingFiles(&w->waiting)) {
        return kWatchFolderUnusable;
    }
    return 0;
}

void ReleaseWatcher(Watcher* w) {
    if (w->presenceShown && w->request->presenceEnd != nullptr) {
        w->request->presenceEnd(&w->presence);
    }
    CloseWaitingFiles(&w->waiting);
    if (w->notification != INVALID_HANDLE_VALUE) {
        FindCloseChangeNotification(w->notification);
    }
    if (w->stopEvent != nullptr) {
        CloseHandle(w->stopEvent);
    }
    if (w->mutex != nullptr) {
        ReleaseMutex(w->mutex);
        CloseHandle(w->mutex);
    }
}

} // namespace

WatchedEnd ClassifyJobEnd(JobResult result, JobTransport transport) {
    switch (result) {
    case JobResult::Done:
    case JobResult::PrinterUnconfirmed:
        return WatchedEnd::Sent;
    case JobResult::PrinterHeld:
        return WatchedEnd::Held;
    case JobResult::PortSettingsReadError:
    case JobResult::PortConfigError:
        // For a network printer these are the steps of its connection, for a driver its turn;
        // for a port they are its line settings, which no retry mends.
        return transport == JobTransport::Network || transport == JobTransport::Driver
                   ? WatchedEnd::PrinterFailed
                   : WatchedEnd::FileFailed;
    case JobResult::PortOpenError:
    case JobResult::PortWriteError:
    case JobResult::ReadWriteError:
    case JobResult::QueueOpenError:
    case JobResult::QueueStartError:
    case JobResult::QueueWriteError:
    case JobResult::QueueEndError:
    case JobResult::PrinterNotReady:
        return WatchedEnd::PrinterFailed;
    case JobResult::SettingsError:
    case JobResult::InputFileError:
    case JobResult::InitFileError:
    case JobResult::PrinterListError:
    case JobResult::FailureAlreadyShown:
        break;
    }
    return WatchedEnd::FileFailed;
}

DWORD RetryPause(int failures) {
    constexpr int kCount = static_cast<int>(sizeof kRetryPauses / sizeof kRetryPauses[0]);
    if (failures < 1) {
        return 0;
    }
    return kRetryPauses[failures <= kCount ? failures - 1 : kCount - 1];
}

int RunWatchedFolder(const WatchRequest* request) {
    if (request == nullptr || request->folder == nullptr || request->runJob == nullptr) {
        return kWatchFolderUnusable;
    }
    auto* w = static_cast<Watcher*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Watcher)));
    if (w == nullptr) {
        return kWatchFolderUnusable;
    }
    w->request = request;
    w->notification = INVALID_HANDLE_VALUE;
    w->state = WatchState::Watching;
    int refused = PrepareFolder(w);
    if (refused == 0) {
        if (request->presenceStart != nullptr) {
            w->presenceShown = request->presenceStart(request->instance, w->folderUtf8,
                                                      w->stopEvent, &w->presence);
            if (!w->presenceShown) {
                w->presence = WatchPresence{};
            }
        }
        RecoverInterrupted(w->folder, TellFileFailed, w);
        w->notification = FindFirstChangeNotificationW(
            w->folder, FALSE,
            FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE);
        while (!StopAsked(w)) {
            Turn(w);
        }
        // A file waiting to be tried again was not sent whole: it waits in the folder again.
        if (w->inHand) {
            ReturnToFolder(w->folder, w->inHandName);
        }
    }
    ReleaseWatcher(w);
    HeapFree(GetProcessHeap(), 0, w);
    return refused != 0 ? refused : kWatchEnded;
}

int StopWatchedFolder(const char* folder) {
    WCHAR given[kWatchPathSize];
    WCHAR full[kWatchPathSize];
    if (folder == nullptr ||
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, folder, -1, given, kWatchPathSize) ==
            0 ||
        !FullFolderPath(given, full, kWatchPathSize)) {
        return kWatchFolderUnusable;
    }
    char mutexName[kWatchObjectNameSize];
    char stopName[kWatchObjectNameSize];
    WatchObjectNames(full, mutexName, stopName);
    return SignalWatcherStop(stopName) ? kWatchEnded : kWatchNoWatcher;
}
