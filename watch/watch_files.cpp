// Moves between the watched folder and its subfolders, and the records of recovered files.
#include "watch/watch_files.h"

#include "watch/folder_rules.h"
#include "watch/watch_names.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kMostCopies = 999;            // "name (999)" is the last name tried
constexpr int kRecordSize = 3 * 2048 + 512; // a UTF-8 path escaped, and the other fields

int Length(LPCWSTR text) {
    int length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

bool Append(WCHAR* out, int size, int* at, LPCWSTR text) {
    for (int index = 0; text[index] != 0; ++index) {
        if (*at >= size - 1) {
            return false;
        }
        out[(*at)++] = text[index];
    }
    out[*at] = 0;
    return true;
}

// name with " (n)" before its extension into out (kWatchNameSize units).
bool NumberedName(LPCWSTR name, int number, WCHAR* out) {
    int length = Length(name);
    int dot = length;
    for (int at = length - 1; at > 0; --at) {
        if (name[at] == L'.') {
            dot = at;
            break;
        }
    }
    char digits[16];
    snprintf(digits, sizeof digits, " (%d)", number);
    int at = 0;
    for (int index = 0; index < dot; ++index) {
        if (at >= kWatchNameSize - 1) {
            return false;
        }
        out[at++] = name[index];
    }
    for (const char* digit = digits; *digit != '\0'; ++digit) {
        if (at >= kWatchNameSize - 1) {
            return false;
        }
        out[at++] = static_cast<WCHAR>(*digit);
    }
    out[at] = 0;
    return Append(out, kWatchNameSize, &at, name + dot);
}

// text as a JSON string body into out (size bytes), cut where it would not fit.
void AppendJsonText(char* out, std::size_t size, const char* text) {
    std::size_t at = std::strlen(out);
    for (const char* c = text; *c != '\0' && at + 7 < size; ++c) {
        auto byte = static_cast<unsigned char>(*c);
        if (byte == '"' || byte == '\\') {
            out[at++] = '\\';
            out[at++] = static_cast<char>(byte);
        } else if (byte < 0x20) {
            at += static_cast<std::size_t>(snprintf(out + at, size - at, "\\u%04x", byte));
        } else {
            out[at++] = static_cast<char>(byte);
        }
    }
    out[at] = '\0';
}

void AppendText(char* out, std::size_t size, const char* text) {
    std::size_t at = std::strlen(out);
    snprintf(out + at, size - at, "%s", text);
}

// Moves name from one subfolder of folder to another (nullptr: the folder itself), under the
// same name and never over another file.
bool MoveKeepingName(LPCWSTR folder, LPCWSTR fromSub, LPCWSTR toSub, LPCWSTR name) {
    WCHAR from[kWatchPathSize];
    WCHAR to[kWatchPathSize];
    if (!JoinWatchPath(from, kWatchPathSize, folder, fromSub, name) ||
        !JoinWatchPath(to, kWatchPathSize, folder, toSub, name)) {
        return false;
    }
    return MoveFileExW(from, to, 0) != FALSE;
}

} // namespace

bool JoinWatchPath(WCHAR* out, int size, LPCWSTR folder, LPCWSTR sub, LPCWSTR name) {
    int at = 0;
    out[0] = 0;
    if (!Append(out, size, &at, folder)) {
        return false;
    }
    LPCWSTR parts[] = {sub, name};
    for (LPCWSTR part : parts) {
        if (part == nullptr) {
            continue;
        }
        // A root ("C:\\") already ends in its separator.
        bool separated = at > 0 && out[at - 1] == L'\\';
        if ((!separated && !Append(out, size, &at, L"\\")) || !Append(out, size, &at, part)) {
            return false;
        }
    }
    return true;
}

bool WideToUtf8(LPCWSTR text, char* out, int size) {
    int written = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, nullptr, nullptr);
    if (written <= 0) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool MakeWatchFolders(LPCWSTR folder) {
    const WCHAR* subs[] = {kPrintingFolder, kPrintedFolder, kFailedFolder};
    for (const WCHAR* sub : subs) {
        WCHAR path[kWatchPathSize];
        if (!JoinWatchPath(path, kWatchPathSize, folder, sub, nullptr)) {
            return false;
        }
        if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

bool ClaimFile(LPCWSTR folder, LPCWSTR name) {
    return MoveKeepingName(folder, nullptr, kPrintingFolder, name);
}

bool MoveOutOfPrinting(LPCWSTR folder, LPCWSTR name, LPCWSTR sub, WCHAR* finalName) {
    WCHAR from[kWatchPathSize];
    if (!JoinWatchPath(from, kWatchPathSize, folder, kPrintingFolder, name)) {
        return false;
    }
    for (int number = 1; number <= kMostCopies; ++number) {
        if (number == 1) {
            int at = 0;
            finalName[0] = 0;
            if (!Append(finalName, kWatchNameSize, &at, name)) {
                return false;
            }
        } else if (!NumberedName(name, number, finalName)) {
            return false;
        }
        WCHAR to[kWatchPathSize];
        if (!JoinWatchPath(to, kWatchPathSize, folder, sub, finalName)) {
            return false;
        }
        if (MoveFileExW(from, to, 0)) {
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    return false;
}

bool ReturnToFolder(LPCWSTR folder, LPCWSTR name) {
    return MoveKeepingName(folder, kPrintingFolder, nullptr, name);
}

bool WriteFailureRecord(LPCWSTR path, const char* fileUtf8, const char* reasonUtf8) {
    char* record = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kRecordSize));
    if (record == nullptr) {
        return false;
    }
    constexpr auto kSize = static_cast<std::size_t>(kRecordSize);
    // The keys of the result object of a job, in its order; no job ran, so no printer.
    AppendText(record, kSize, "{\"result\":\"failed\",\"exit_code\":10,\"error\":0,\"message\":\"");
    AppendJsonText(record, kSize, reasonUtf8);
    AppendText(record, kSize, "\",\"file\":\"");
    AppendJsonText(record, kSize, fileUtf8);
    AppendText(record, kSize,
               "\",\"target\":\"\",\"bytes\":0,\"milliseconds\":0,\"confirmed\":\"no\","
               "\"printer\":\"\"}\r\n");
    bool written = false;
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        auto length = static_cast<DWORD>(std::strlen(record));
        DWORD count = 0;
        written = WriteFile(file, record, length, &count, nullptr) && count == length;
        CloseHandle(file);
        if (!written) {
            DeleteFileW(path);
        }
    }
    HeapFree(GetProcessHeap(), 0, record);
    return written;
}

int RecoverInterrupted(LPCWSTR folder,
                       void (*fileFailed)(void* context, const char* name, const char* reason),
                       void* context) {
    WCHAR pattern[kWatchPathSize];
    if (!JoinWatchPath(pattern, kWatchPathSize, folder, kPrintingFolder, L"*")) {
        return 0;
    }
    int moved = 0;
    // Each move changes the listing: it is read again from the start until nothing is left,
    // bounded by the most files a listing can name.
    for (int round = 0; round < kMaxWaitingFiles; ++round) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW(pattern, &found);
        if (find == INVALID_HANDLE_VALUE) {
            break;
        }
        bool any = false;
        WCHAR name[kWatchNameSize];
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                any = true;
                int at = 0;
                name[0] = 0;
                Append(name, kWatchNameSize, &at, found.cFileName);
                break;
            }
        } while (FindNextFileW(find, &found));
        FindClose(find);
        WCHAR finalName[kWatchNameSize];
        if (!any || !MoveOutOfPrinting(folder, name, kFailedFolder, finalName)) {
            break;
        }
        ++moved;
        WCHAR recordName[kWatchNameSize + 8];
        WCHAR recordPath[kWatchPathSize];
        WCHAR filePath[kWatchPathSize];
        int at = 0;
        recordName[0] = 0;
        char fileUtf8[3 * kWatchPathSize];
        char nameUtf8[3 * kWatchNameSize];
        if (Append(recordName, kWatchNameSize + 8, &at, finalName) &&
            Append(recordName, kWatchNameSize + 8, &at, L".json") &&
            JoinWatchPath(recordPath, kWatchPathSize, folder, kFailedFolder, recordName) &&
            JoinWatchPath(filePath, kWatchPathSize, folder, kFailedFolder, finalName) &&
            WideToUtf8(filePath, fileUtf8, sizeof fileUtf8)) {
            WriteFailureRecord(recordPath, fileUtf8, kInterruptedReason);
        }
        if (fileFailed != nullptr && WideToUtf8(finalName, nameUtf8, sizeof nameUtf8)) {
            fileFailed(context, nameUtf8, kInterruptedReason);
        }
    }
    return moved;
}
