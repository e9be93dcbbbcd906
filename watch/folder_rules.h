// Which files of a watched folder are labels to send, when one is complete, and in which
// order they go: the rules, and the list of waiting files that the folder's scans keep.
#pragma once

#include "core/job_protocol.h"

// The longest file name in the folder, with its NUL.
constexpr int kWatchNameSize = MAX_PATH;
// How long a file's size and last-write time must stay as they are before it is taken.
constexpr DWORD kSettleMilliseconds = 1000;
// The most files the list holds at once; more wait for a later scan.
constexpr int kMaxWaitingFiles = 2048;

// The watcher's own subfolders, in the folder.
inline constexpr WCHAR kPrintingFolder[] = L"printing";
inline constexpr WCHAR kPrintedFolder[] = L"printed";
inline constexpr WCHAR kFailedFolder[] = L"failed";

// True for a name the watcher takes: none that begins with '.' or '~', ends in .tmp, .part,
// .partial, .crdownload or .download (a file still being written), or is one of the
// watcher's folders; case ignored.
bool IsWatchedName(LPCWSTR name);

// What the scans saw of one file. Times are GetTickCount's.
struct FileSighting {
    unsigned long long size;
    unsigned long long lastWrite; // FILETIME ticks
    DWORD unchangedSince;         // when a scan first saw this size and time
    DWORD lastSeen;               // the last scan that saw them
};

// A scan's look at a file: a size or time that moved starts its quiet second again.
void NoteSighting(FileSighting* sighting, unsigned long long size, unsigned long long lastWrite,
                  DWORD now);
// True once two scans a second or more apart saw the same size and time.
bool SightingSettled(const FileSighting* sighting);

// The order files go in: the older last write first, then the name, unit by unit.
bool SendsBefore(unsigned long long lastWriteA, LPCWSTR nameA, unsigned long long lastWriteB,
                 LPCWSTR nameB);

struct WaitingFile {
    WCHAR name[kWatchNameSize];
    FileSighting sighting;
    bool seen; // by the scan in progress
};

// The files waiting in the folder; `files` holds kMaxWaitingFiles entries from the heap.
struct WaitingFiles {
    WaitingFile* files;
    int count;
};

bool OpenWaitingFiles(WaitingFiles* list);
void CloseWaitingFiles(WaitingFiles* list);

// Adds or updates every regular file of folder (a full path) whose name is taken, and drops
// those gone since the last scan. False when the folder cannot be listed (the list stays).
bool ScanFolder(LPCWSTR folder, WaitingFiles* list, DWORD now);

// The index of the settled file to send next, -1 when none is settled.
int NextSettled(const WaitingFiles* list);
// How long until a scan could find another file settled: 0 when one could be now,
// `otherwise` when no file is waiting to settle.
DWORD UntilSettleCheck(const WaitingFiles* list, DWORD now, DWORD otherwise);
// The file is taken, gone or still being written: it leaves the list until the next scan.
void DropWaitingFile(WaitingFiles* list, int index);

// True when path can be opened for reading with no sharing: its writer has closed it.
bool WriterClosed(LPCWSTR path);
