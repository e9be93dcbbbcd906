// The watched folder's full path and the names of its mutex and stop event.
#include "watch/watch_names.h"

#include <cstdio>

namespace {

constexpr unsigned long long kFnvOffset = 0xcbf29ce484222325ull;
constexpr unsigned long long kFnvPrime = 0x100000001b3ull;

bool IsSeparator(WCHAR unit) {
    return unit == L'\\' || unit == L'/';
}

} // namespace

bool FullFolderPath(LPCWSTR given, WCHAR* full, int size) {
    if (given == nullptr || given[0] == 0 || size <= 1) {
        return false;
    }
    DWORD length = GetFullPathNameW(given, static_cast<DWORD>(size), full, nullptr);
    if (length == 0 || length >= static_cast<DWORD>(size)) {
        return false;
    }
    // A root keeps its separator ("C:\"); any other folder is named without one at its end.
    while (length > 1 && IsSeparator(full[length - 1]) && full[length - 2] != L':') {
        full[--length] = 0;
    }
    return true;
}

void WatchObjectNames(LPCWSTR fullPath, char* mutexName, char* stopName) {
    WCHAR upper[kWatchPathSize];
    int length = 0;
    while (fullPath[length] != 0 && length < kWatchPathSize - 1) {
        ++length;
    }
    // Where the system cannot upper-case the path, its own spelling is hashed.
    if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, fullPath, length, upper, kWatchPathSize) !=
        length) {
        for (int at = 0; at < length; ++at) {
            upper[at] = fullPath[at];
        }
    }
    unsigned long long hash = kFnvOffset;
    for (int at = 0; at < length; ++at) {
        auto unit = static_cast<unsigned long long>(static_cast<DWORD>(upper[at]));
        hash = (hash ^ (unit & 0xFFu)) * kFnvPrime;
        hash = (hash ^ (unit >> 8)) * kFnvPrime;
    }
    snprintf(mutexName, kWatchObjectNameSize, "TagwrightWatch-%016llx", hash);
    snprintf(stopName, kWatchObjectNameSize, "TagwrightWatchStop-%016llx", hash);
}

bool SignalWatcherStop(const char* stopName) {
    HANDLE stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, stopName);
    if (stop == nullptr) {
        return false;
    }
    BOOL set = SetEvent(stop);
    CloseHandle(stop);
    return set != FALSE;
}
