// The watched folder's file rules and the list of waiting files its scans keep.
#include "watch/folder_rules.h"

#include "watch/watch_names.h"

namespace {

const WCHAR* const kWritingEndings[] = {L".tmp", L".part", L".partial", L".crdownload",
                                        L".download"};
const WCHAR* const kOwnFolders[] = {kPrintingFolder, kPrintedFolder, kFailedFolder};

WCHAR LowerAscii(WCHAR unit) {
    return unit >= L'A' && unit <= L'Z' ? static_cast<WCHAR>(unit - L'A' + L'a') : unit;
}

int Length(LPCWSTR text) {
    int length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

// The endings and folder names are ASCII, so ASCII case folding compares them fully.
bool SameIgnoringCase(LPCWSTR text, LPCWSTR lowerAscii, int length) {
    for (int at = 0; at < length; ++at) {
        if (LowerAscii(text[at]) != lowerAscii[at]) {
            return false;
        }
    }
    return true;
}

bool EndsWith(LPCWSTR name, int length, LPCWSTR ending) {
    int endingLength = Length(ending);
    return length >= endingLength &&
           SameIgnoringCase(name + length - endingLength, ending, endingLength);
}

unsigned long long Ticks(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool CopyName(LPCWSTR name, WCHAR* out) {
    int length = Length(name);
    if (length >= kWatchNameSize) {
        return false;
    }
    for (int at = 0; at <= length; ++at) {
        out[at] = name[at];
    }
    return true;
}

bool SameName(LPCWSTR a, LPCWSTR b) {
    int at = 0;
    for (; a[at] != 0 && a[at] == b[at]; ++at) {
    }
    return a[at] == b[at];
}

// Listings come in the same order scan after scan, so the search starts after the last match.
int FindWaiting(const WaitingFiles* list, LPCWSTR name, int from) {
    for (int step = 0; step < list->count; ++step) {
        int index = (from + step) % list->count;
        if (SameName(list->files[index].name, name)) {
            return index;
        }
    }
    return -1;
}

} // namespace

bool IsWatchedName(LPCWSTR name) {
    if (name == nullptr || name[0] == 0 || name[0] == L'.' || name[0] == L'~') {
        return false;
    }
    int length = Length(name);
    for (const WCHAR* ending : kWritingEndings) {
        if (EndsWith(name, length, ending)) {
            return false;
        }
    }
    for (const WCHAR* folder : kOwnFolders) {
        if (Length(folder) == length && SameIgnoringCase(name, folder, length)) {
            return false;
        }
    }
    return true;
}

void NoteSighting(FileSighting* sighting, unsigned long long size, unsigned long long lastWrite,
                  DWORD now) {
    if (sighting->size != size || sighting->lastWrite != lastWrite) {
        sighting->size = size;
        sighting->lastWrite = lastWrite;
        sighting->unchangedSince = now;
    }
    sighting->lastSeen = now;
}

bool SightingSettled(const FileSighting* sighting) {
    return sighting->lastSeen - sighting->unchangedSince >= kSettleMilliseconds;
}

bool SendsBefore(unsigned long long lastWriteA, LPCWSTR nameA, unsigned long long lastWriteB,
                 LPCWSTR nameB) {
    if (lastWriteA != lastWriteB) {
        return lastWriteA < lastWriteB;
    }
    int at = 0;
    for (; nameA[at] != 0 && nameA[at] == nameB[at]; ++at) {
    }
    return nameA[at] < nameB[at];
}

bool OpenWaitingFiles(WaitingFiles* list) {
    list->count = 0;
    list->files = static_cast<WaitingFile*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(WaitingFile) * kMaxWaitingFiles));
    return list->files != nullptr;
}

void CloseWaitingFiles(WaitingFiles* list) {
    if (list->files != nullptr) {
        HeapFree(GetProcessHeap(), 0, list->files);
        list->files = nullptr;
    }
    list->count = 0;
}

bool ScanFolder(LPCWSTR folder, WaitingFiles* list, DWORD now) {
    WCHAR pattern[kWatchPathSize];
    int length = Length(folder);
    if (length + 3 > kWatchPathSize) {
        return false;
    }
    for (int at = 0; at < length; ++at) {
        pattern[at] = folder[at];
    }
    // A root ("C:\\") already ends in its separator.
    if (length > 0 && folder[length - 1] == L'\\') {
        --length;
    }
    pattern[length] = L'\\';
    pattern[length + 1] = L'*';
    pattern[length + 2] = 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        // An empty folder still lists "." and "..": nothing found means it cannot be read.
        return false;
    }
    for (int index = 0; index < list->count; ++index) {
        list->files[index].seen = false;
    }
    int from = 0;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            !IsWatchedName(found.cFileName)) {
            continue;
        }
        unsigned long long size =
            (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        int index = FindWaiting(list, found.cFileName, from);
        if (index < 0) {
            if (list->count >= kMaxWaitingFiles) {
                continue;
            }
            index = list->count;
            WaitingFile* added = &list->files[index];
            if (!CopyName(found.cFileName, added->name)) {
                continue;
            }
            ++list->count;
            added->sighting = FileSighting{size, Ticks(found.ftLastWriteTime), now, now};
        } else {
            NoteSighting(&list->files[index].sighting, size, Ticks(found.ftLastWriteTime), now);
        }
        list->files[index].seen = true;
        from = index + 1;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    for (int index = list->count - 1; index >= 0; --index) {
        if (!list->files[index].seen) {
            DropWaitingFile(list, index);
        }
    }
    return true;
}

int NextSettled(const WaitingFiles* list) {
    int best = -1;
    for (int index = 0; index < list->count; ++index) {
        const WaitingFile& file = list->files[index];
        if (!SightingSettled(&file.sighting)) {
            continue;
        }
        if (best < 0 || SendsBefore(file.sighting.lastWrite, file.name,
                                    list->files[best].sighting.lastWrite, list->files[best].name)) {
            best = index;
        }
    }
    return best;
}

DWORD UntilSettleCheck(const WaitingFiles* list, DWORD now, DWORD otherwise) {
    DWORD soonest = otherwise;
    for (int index = 0; index < list->count; ++index) {
        const FileSighting& sighting = list->files[index].sighting;
        if (SightingSettled(&sighting)) {
            continue;
        }
        DWORD waited = now - sighting.unchangedSince;
        DWORD left = waited >= kSettleMilliseconds ? 0 : kSettleMilliseconds - waited;
        if (left < soonest) {
            soonest = left;
        }
    }
    return soonest;
}

void DropWaitingFile(WaitingFiles* list, int index) {
    if (index < 0 || index >= list->count) {
        return;
    }
    // The order of the list is kept: it is the listing's, which the next search follows.
    for (int at = index; at + 1 < list->count; ++at) {
        list->files[at] = list->files[at + 1];
    }
    --list->count;
}

bool WriterClosed(LPCWSTR path) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}
