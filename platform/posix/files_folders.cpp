// Substitute files, folders: FindFirstFileW, FindNextFileW, FindClose, the change notifications
// of a folder (a snapshot of its entries compared at each wait) and GetFullPathNameW.
#include "platform/posix/code_pages.h"
#include "platform/posix/file_object.h"
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

constexpr DWORD kPollPause = 5; // milliseconds

std::string PosixPath(LPCWSTR name) {
    return substitute::PathOfWide(substitute::Utf8FromWide(name));
}

DWORD ErrorOf(int code) {
    switch (code) {
    case ENOENT:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOTDIR:
        return ERROR_DIRECTORY;
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

struct Entry {
    std::string name; // UTF-8
    bool folder = false;
    std::uint64_t size = 0;
    struct timespec written {};
};

// The entries of folder, "." and ".." first as on Windows; false when it cannot be read.
bool ReadFolder(const std::string& folder, std::vector<Entry>* entries, int* error) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        *error = errno;
        return false;
    }
    while (dirent* found = ::readdir(listing)) {
        Entry entry;
        entry.name = found->d_name;
        struct stat info {};
        if (::stat((folder + "/" + entry.name).c_str(), &info) != 0) {
            continue; // gone since the listing saw it
        }
        entry.folder = S_ISDIR(info.st_mode);
        entry.size = entry.folder ? 0 : static_cast<std::uint64_t>(info.st_size);
        entry.written = info.st_mtim;
        entries->push_back(entry);
    }
    ::closedir(listing);
    std::stable_sort(entries->begin(), entries->end(), [](const Entry& a, const Entry& b) {
        auto rank = [](const Entry& e) { return e.name == "." ? 0 : e.name == ".." ? 1 : 2; };
        return rank(a) < rank(b);
    });
    return true;
}

struct FindObject : substitute::KernelObject {
    std::vector<Entry> entries;
    std::size_t next = 0;
};

bool FillFindData(const Entry& entry, LPWIN32_FIND_DATAW data) {
    std::memset(data, 0, sizeof(*data));
    data->dwFileAttributes = entry.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    data->ftCreationTime = substitute::FileTimeOf(entry.written);
    data->ftLastAccessTime = substitute::FileTimeOf(entry.written);
    data->ftLastWriteTime = substitute::FileTimeOf(entry.written);
    data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.size & 0xFFFFFFFFu);
    return MultiByteToWideChar(CP_UTF8, 0, entry.name.c_str(), -1, data->cFileName, MAX_PATH) > 0;
}

// What a change notification compares: every entry's name, size and last-write time.
using Snapshot = std::vector<std::tuple<std::string, std::uint64_t, long long>>;

Snapshot TakeSnapshot(const std::string& folder) {
    std::vector<Entry> entries;
    int error = 0;
    Snapshot snapshot;
    if (!ReadFolder(folder, &entries, &error)) {
        return snapshot;
    }
    for (const Entry& entry : entries) {
        long long written = static_cast<long long>(entry.written.tv_sec) * 1000000000ll +
                            static_cast<long long>(entry.written.tv_nsec);
        snapshot.emplace_back(entry.name, entry.size, written);
    }
    std::sort(snapshot.begin(), snapshot.end());
    return snapshot;
}

struct NotificationObject : substitute::KernelObject {
    std::string folder;
    Snapshot seen;
    DWORD Wait(DWORD milliseconds) override {
        return substitute::PollForSignal(milliseconds, kPollPause,
                                         [this] { return TakeSnapshot(folder) != seen; });
    }
};

} // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    std::string given = PosixPath(pattern);
    substitute::LogCall("FindFirstFileW", given);
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("FindFirstFileW", &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (data == nullptr || given.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::size_t slash = given.rfind('/');
    std::string folder = slash == std::string::npos ? "." : given.substr(0, slash);
    std::string wanted = slash == std::string::npos ? given : given.substr(slash + 1);
    if (folder.empty()) {
        folder.assign(1, '/'); // a literal here trips GCC 12's restrict check at -O2
    }
    auto object = std::make_shared<FindObject>();
    int code = 0;
    if (!ReadFolder(folder, &object->entries, &code)) {
        SetLastError(ErrorOf(code));
        return INVALID_HANDLE_VALUE;
    }
    if (wanted != "*") {
        std::erase_if(object->entries, [&wanted](const Entry& e) { return e.name != wanted; });
    }
    if (object->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    FillFindData(object->entries[0], data);
    object->next = 1;
    object->label = "find:" + given;
    SetLastError(ERROR_SUCCESS);
    return substitute::AddHandle(object);
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
    auto object = substitute::FindHandleAs<FindObject>(find);
    if (object == nullptr || data == nullptr) {
        SetLastError(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("FindNextFileW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (object->next >= object->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    FillFindData(object->entries[object->next], data);
    ++object->next;
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    if (substitute::FindHandleAs<FindObject>(find) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(find);
}

HANDLE FindFirstChangeNotificationW(LPCWSTR path, BOOL /*watchSubtree*/, DWORD /*filter*/) {
    std::string folder = PosixPath(path);
    substitute::LogCall("FindFirstChangeNotificationW", folder);
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("FindFirstChangeNotificationW", &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (folder.empty() || ::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        SetLastError(folder.empty() ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND)
                                    : ErrorOf(errno != 0 ? errno : ENOTDIR));
        return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<NotificationObject>();
    object->folder = folder;
    object->seen = TakeSnapshot(folder);
    object->label = "notification:" + folder;
    return substitute::AddHandle(object);
}

BOOL FindNextChangeNotification(HANDLE notification) {
    auto object = substitute::FindHandleAs<NotificationObject>(notification);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->seen = TakeSnapshot(object->folder);
    return TRUE;
}

BOOL FindCloseChangeNotification(HANDLE notification) {
    if (substitute::FindHandleAs<NotificationObject>(notification) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(notification);
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
    std::string given = PosixPath(name);
    substitute::LogCall("GetFullPathNameW", given);
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("GetFullPathNameW", &error)) {
        SetLastError(error);
        return 0;
    }
    if (given.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    if (given[0] != '/') {
        char current[PATH_MAX];
        if (::getcwd(current, sizeof current) == nullptr) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return 0;
        }
        given = std::string(current) + "/" + given;
    }
    // "." and ".." resolved by name, as Windows does, without looking at the disk.
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= given.size()) {
        std::size_t end = given.find('/', at);
        if (end == std::string::npos) {
            end = given.size();
        }
        std::string part = given.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string full;
    for (const std::string& part : parts) {
        full += "/" + part;
    }
    if (full.empty() || given.back() == '/') {
        full += "/";
    }
    int needed = MultiByteToWideChar(CP_UTF8, 0, full.c_str(), -1, nullptr, 0);
    if (needed <= 0) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    if (buffer == nullptr || static_cast<DWORD>(needed) > size) {
        return static_cast<DWORD>(needed);
    }
    MultiByteToWideChar(CP_UTF8, 0, full.c_str(), -1, buffer, needed);
    if (filePart != nullptr) {
        LPWSTR last = nullptr;
        for (LPWSTR unit = buffer; *unit != 0; ++unit) {
            if (*unit == L'/') {
                last = unit + 1;
            }
        }
        *filePart = last != nullptr && *last != 0 ? last : nullptr;
    }
    return static_cast<DWORD>(needed - 1);
}
