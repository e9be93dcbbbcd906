// The names a watched folder is known by: its full path, and the named mutex and stop event
// that every spelling of that path, in any case, shares.
#pragma once

#include "core/job_protocol.h"

// Wide paths of the watched folder and the files in it, with their NULs.
constexpr int kWatchPathSize = 2048;
// "TagwrightWatch-" or "TagwrightWatchStop-" and 16 hex digits, with the NUL.
constexpr int kWatchObjectNameSize = 40;

// The folder's full path (GetFullPathNameW) without a separator at its end. False when the
// name cannot be made full or does not fit.
bool FullFolderPath(LPCWSTR given, WCHAR* full, int size);

// The names of the folder's mutex and stop event (kWatchObjectNameSize bytes each), derived
// from its full path upper-cased, so that "C:\Labels" and "c:\labels" are one folder.
void WatchObjectNames(LPCWSTR fullPath, char* mutexName, char* stopName);

// Sets the stop event of the folder's watcher; false when no watcher has one open.
bool SignalWatcherStop(const char* stopName);
