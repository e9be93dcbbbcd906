// Substitute files and devices: CreateFileA/W, ReadFile, WriteFile, GetFileSize, FlushFileBuffers,
// DeleteFileA/W, MoveFileExW, CreateDirectoryW and GetFileAttributesExW over POSIX files, with
// Windows access, share-mode and disposition rules.
#include "platform/posix/code_pages.h"
#include "platform/posix/file_object.h"
#include "platform/testing.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace substitute {
namespace {

constexpr DWORD kFileWriteData = 0x0002u;
constexpr DWORD kFileAppendData = 0x0004u;
constexpr DWORD kGenericAll = 0x10000000u;

struct DeviceMapping {
    std::string path;
    bool emulatedComm = false;
};

struct FileState {
    std::mutex lock;
    std::map<std::string, DeviceMapping> devices; // key: upper-case device name
    std::set<FileObject*> open;                   // every live file object, for share checks
    std::deque<DWORD> scriptedWriteCounts;
    DWORD writeLimit = 0xFFFFFFFFu;
    bool sizeScripted = false; // GetFileSize reports scriptedSize for every regular file
    std::uint64_t scriptedSize = 0;
};

FileState& State() {
    static FileState state;
    return state;
}

std::string Upper(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

// "COM1".."COM9" and "LPT1".."LPT9": names that never reach the file system on Windows.
bool IsReservedDeviceName(const std::string& upperName) {
    return upperName.size() == 4 &&
           (upperName.compare(0, 3, "COM") == 0 || upperName.compare(0, 3, "LPT") == 0) &&
           upperName[3] >= '1' && upperName[3] <= '9';
}

// "\\.\NAME": the device namespace, which never reaches the file system either.
bool InDeviceNamespace(const std::string& name) {
    return name.compare(0, 4, "\\\\.\\") == 0;
}

std::string DeviceNameOf(const std::string& name) {
    std::string upper = Upper(name);
    if (upper.compare(0, 4, "\\\\.\\") == 0) {
        upper.erase(0, 4);
    }
    return upper;
}

// What Windows reports for a name that is missing: the file, or a folder on its way.
DWORD MissingError(const std::string& path) {
    if (path.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat info {};
    if (stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_PATH_NOT_FOUND;
}

DWORD ErrorFromErrno(int code, const std::string& path) {
    switch (code) {
    case ENOENT:
        return MissingError(path);
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_PATH_NOT_FOUND;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// True when an open of (readable, writable, share) conflicts with a handle already open.
bool SharingConflict(const FileObject& open, bool readable, bool writable, DWORD share) {
    if (readable && (open.shareMode & FILE_SHARE_READ) == 0) {
        return true;
    }
    if (writable && (open.shareMode & FILE_SHARE_WRITE) == 0) {
        return true;
    }
    if (open.readable && (share & FILE_SHARE_READ) == 0) {
        return true;
    }
    if (open.writable && (share & FILE_SHARE_WRITE) == 0) {
        return true;
    }
    return false;
}

std::shared_ptr<FileObject> FindFile(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return nullptr;
    }
    return FindHandleAs<FileObject>(handle);
}

void ResetFiles() {
    FileState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.devices.clear();
    state.scriptedWriteCounts.clear();
    state.writeLimit = 0xFFFFFFFFu;
    state.sizeScripted = false;
    state.scriptedSize = 0;
}

[[maybe_unused]] const bool registered = [] {
    AddResetHook(ResetFiles);
    return true;
}();

} // namespace

FileObject::~FileObject() {
    {
        FileState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        state.open.erase(this);
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

} // namespace substitute

using substitute::FileObject;
using substitute::LogCall;
using substitute::TakeScriptedFailure;

namespace substitute {
namespace {

// CreateFileA and CreateFileW: `given` is the name as the program wrote it (UTF-8 for the
// wide call), `path` the POSIX path of a plain file.
HANDLE OpenFile(const char* call, const std::string& given, const std::string& path, DWORD access,
                DWORD shareMode, DWORD disposition) {
    LogCall(call, given);
    DWORD error = 0;
    if (TakeScriptedFailure(call, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    auto object = std::make_shared<FileObject>();
    object->readable = (access & (GENERIC_READ | FILE_READ_DATA | substitute::kGenericAll)) != 0;
    object->writable = (access & (GENERIC_WRITE | substitute::kFileWriteData |
                                  substitute::kFileAppendData | substitute::kGenericAll)) != 0;
    object->shareMode = shareMode;
    object->path = path;
    object->label = "file:" + given;

    std::string deviceName = substitute::DeviceNameOf(given);
    {
        substitute::FileState& state = substitute::State();
        std::lock_guard<std::mutex> guard(state.lock);
        auto mapped = state.devices.find(deviceName);
        if (mapped != state.devices.end()) {
            object->path = mapped->second.path;
            object->device = deviceName;
            object->emulatedComm = mapped->second.emulatedComm;
            object->label = "device:" + deviceName;
        } else if (substitute::IsReservedDeviceName(deviceName) ||
                   substitute::InDeviceNamespace(given)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    }
    if (disposition == TRUNCATE_EXISTING && !object->writable) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    int flags = O_NOCTTY | O_CLOEXEC;
    if (object->readable && object->writable) {
        flags |= O_RDWR;
    } else if (object->writable) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    // Append data without write data: every write goes to the end, whoever else appends.
    if ((access & substitute::kFileAppendData) != 0 &&
        (access & (GENERIC_WRITE | substitute::kFileWriteData | substitute::kGenericAll)) == 0) {
        flags |= O_APPEND;
    }
    struct stat before {};
    bool existed = stat(object->path.c_str(), &before) == 0;
    bool deviceFile = existed && !S_ISREG(before.st_mode) && !S_ISDIR(before.st_mode);
    switch (disposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT | (deviceFile ? 0 : O_TRUNC);
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        flags |= deviceFile ? 0 : O_TRUNC;
        break;
    default:
        break;
    }
    if (existed && S_ISDIR(before.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    // The share check and the open happen under one lock, so two opens of the same file
    // cannot both pass the check.
    substitute::FileState& state = substitute::State();
    std::unique_lock<std::mutex> guard(state.lock);
    if (existed) {
        for (FileObject* open : state.open) {
            if (open->deviceId == before.st_dev && open->inode == before.st_ino &&
                substitute::SharingConflict(*open, object->readable, object->writable, shareMode)) {
                guard.unlock();
                SetLastError(ERROR_SHARING_VIOLATION);
                return INVALID_HANDLE_VALUE;
            }
        }
    }
    int fd = ::open(object->path.c_str(), flags, 0644);
    if (fd < 0) {
        int code = errno;
        guard.unlock();
        // A device that is not there is missing as a whole, whatever its path stands on.
        bool missingDevice = code == ENOENT && !object->device.empty();
        SetLastError(missingDevice ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND)
                                   : substitute::ErrorFromErrno(code, object->path));
        return INVALID_HANDLE_VALUE;
    }
    struct stat after {};
    fstat(fd, &after);
    object->fd = fd;
    object->deviceId = after.st_dev;
    object->inode = after.st_ino;
    state.open.insert(object.get());
    guard.unlock();

    HANDLE handle = substitute::AddHandle(object);
    // Windows reports an existing file through the last error of a successful open.
    bool reportsExisting = disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

} // namespace
} // namespace substitute

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD disposition, DWORD /*flags*/, HANDLE /*templateFile*/) {
    std::string given = name == nullptr ? std::string() : std::string(name);
    return substitute::OpenFile("CreateFileA", given, substitute::Utf8FromAnsi(given), access,
                                shareMode, disposition);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED /*overlapped*/) {
    std::shared_ptr<FileObject> object = substitute::FindFile(file);
    LogCall("ReadFile",
            (object ? object->label : std::string("invalid")) + " " + std::to_string(toRead));
    if (read != nullptr) {
        *read = 0;
    }
    DWORD error = 0;
    if (TakeScriptedFailure("ReadFile", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!object->readable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ssize_t got = 0;
    if (object->hasCommTimeouts) {
        got = substitute::ReadWithCommTimeouts(*object, static_cast<char*>(buffer), toRead);
    } else {
        do {
            got = ::read(object->fd, buffer, toRead);
        } while (got < 0 && errno == EINTR);
    }
    if (got < 0) {
        SetLastError(substitute::ErrorFromErrno(errno, object->path));
        return FALSE;
    }
    if (read != nullptr) {
        *read = static_cast<DWORD>(got);
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED /*overlapped*/) {
    std::shared_ptr<FileObject> object = substitute::FindFile(file);
    LogCall("WriteFile",
            (object ? object->label : std::string("invalid")) + " " + std::to_string(toWrite));
    if (written != nullptr) {
        *written = 0;
    }
    DWORD error = 0;
    if (TakeScriptedFailure("WriteFile", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!object->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    DWORD accepted = toWrite;
    {
        substitute::FileState& state = substitute::State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.scriptedWriteCounts.empty()) {
            accepted = std::min(accepted, state.scriptedWriteCounts.front());
            state.scriptedWriteCounts.pop_front();
        }
        accepted = std::min(accepted, state.writeLimit);
    }
    const char* bytes = static_cast<const char*>(buffer);
    const COMMTIMEOUTS& timeouts = object->commTimeouts;
    if (object->hasCommTimeouts &&
        (timeouts.WriteTotalTimeoutConstant != 0 || timeouts.WriteTotalTimeoutMultiplier != 0)) {
        ssize_t put = substitute::WriteWithCommTimeouts(*object, bytes, accepted);
        if (put < 0) {
            SetLastError(substitute::ErrorFromErrno(errno, object->path));
            return FALSE;
        }
        if (written != nullptr) {
            *written = static_cast<DWORD>(put);
        }
        return TRUE;
    }
    // A synchronous write without time-outs writes everything before it returns.
    DWORD done = 0;
    while (done < accepted) {
        ssize_t put = ::write(object->fd, bytes + done, accepted - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            SetLastError(put < 0 ? substitute::ErrorFromErrno(errno, object->path)
                                 : static_cast<DWORD>(ERROR_WRITE_FAULT));
            if (written != nullptr) {
                *written = done;
            }
            return FALSE;
        }
        done += static_cast<DWORD>(put);
    }
    if (written != nullptr) {
        *written = done;
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    std::shared_ptr<FileObject> object = substitute::FindFile(file);
    LogCall("GetFileSize", object ? object->label : std::string("invalid"));
    DWORD error = 0;
    if (TakeScriptedFailure("GetFileSize", &error)) {
        SetLastError(error);
        return INVALID_FILE_SIZE;
    }
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    struct stat info {};
    if (fstat(object->fd, &info) != 0) {
        SetLastError(substitute::ErrorFromErrno(errno, object->path));
        return INVALID_FILE_SIZE;
    }
    auto size = static_cast<std::uint64_t>(S_ISREG(info.st_mode) ? info.st_size : 0);
    {
        substitute::FileState& state = substitute::State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.sizeScripted && S_ISREG(info.st_mode)) {
            size = state.scriptedSize;
        }
    }
    if (sizeHigh != nullptr) {
        *sizeHigh = static_cast<DWORD>(size >> 32);
    }
    auto low = static_cast<DWORD>(size & 0xFFFFFFFFu);
    // A low part of all ones is told apart from a failure by a last error of 0.
    if (low == INVALID_FILE_SIZE) {
        SetLastError(ERROR_SUCCESS);
    }
    return low;
}

namespace substitute {
namespace {

// True when a handle of this process has the file open without FILE_SHARE_DELETE, which
// keeps Windows from deleting, renaming or replacing it. Called under the state's lock.
bool HeldAgainstRemoval(const FileState& state, const struct stat& info) {
    for (FileObject* open : state.open) {
        if (open->deviceId == info.st_dev && open->inode == info.st_ino &&
            (open->shareMode & kFileShareDelete) == 0) {
            return true;
        }
    }
    return false;
}

// DeleteFileA and DeleteFileW, as OpenFile takes its names.
BOOL RemoveFile(const char* call, const std::string& given, const std::string& path) {
    LogCall(call, given);
    DWORD error = 0;
    if (TakeScriptedFailure(call, &error)) {
        SetLastError(error);
        return FALSE;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        SetLastError(ErrorFromErrno(errno, path));
        return FALSE;
    }
    if (S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    FileState& state = State();
    std::unique_lock<std::mutex> guard(state.lock);
    if (HeldAgainstRemoval(state, info)) {
        guard.unlock();
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (::unlink(path.c_str()) != 0) {
        int code = errno;
        guard.unlock();
        SetLastError(ErrorFromErrno(code, path));
        return FALSE;
    }
    return TRUE;
}

} // namespace

// The POSIX path of a wide name: Windows takes '\' as a folder separator too.
std::string PathOfWide(const std::string& utf8Name) {
    std::string path = utf8Name;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// 100-nanosecond intervals since 1601, as Windows counts file times.
FILETIME FileTimeOf(const struct timespec& time) {
    constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ull;
    std::uint64_t ticks =
        (static_cast<std::uint64_t>(time.tv_sec) + kSecondsFrom1601To1970) * 10000000ull +
        static_cast<std::uint64_t>(time.tv_nsec) / 100u;
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}
} // namespace substitute

BOOL DeleteFileA(LPCSTR name) {
    std::string path = name == nullptr ? std::string() : std::string(name);
    return substitute::RemoveFile("DeleteFileA", path, substitute::Utf8FromAnsi(path));
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD disposition, DWORD /*flags*/, HANDLE /*templateFile*/) {
    std::string given = substitute::Utf8FromWide(name);
    return substitute::OpenFile("CreateFileW", given, substitute::PathOfWide(given), access,
                                shareMode, disposition);
}

BOOL DeleteFileW(LPCWSTR name) {
    std::string given = substitute::Utf8FromWide(name);
    return substitute::RemoveFile("DeleteFileW", given, substitute::PathOfWide(given));
}

BOOL MoveFileExW(LPCWSTR existingName, LPCWSTR newName, DWORD flags) {
    std::string from = substitute::Utf8FromWide(existingName);
    std::string to = substitute::Utf8FromWide(newName);
    LogCall("MoveFileExW", from + " " + to);
    DWORD error = 0;
    if (TakeScriptedFailure("MoveFileExW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    std::string fromPath = substitute::PathOfWide(from);
    std::string toPath = substitute::PathOfWide(to);
    struct stat source {};
    if (fromPath.empty() || toPath.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (stat(fromPath.c_str(), &source) != 0) {
        SetLastError(substitute::ErrorFromErrno(errno, fromPath));
        return FALSE;
    }
    substitute::FileState& state = substitute::State();
    std::unique_lock<std::mutex> guard(state.lock);
    struct stat target {};
    bool targetExists = stat(toPath.c_str(), &target) == 0;
    if (targetExists && (flags & MOVEFILE_REPLACE_EXISTING) == 0) {
        guard.unlock();
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (targetExists && S_ISDIR(target.st_mode)) {
        guard.unlock();
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (substitute::HeldAgainstRemoval(state, source) ||
        (targetExists && substitute::HeldAgainstRemoval(state, target))) {
        guard.unlock();
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (::rename(fromPath.c_str(), toPath.c_str()) != 0) {
        int code = errno;
        guard.unlock();
        SetLastError(code == EXDEV ? static_cast<DWORD>(ERROR_NOT_SAME_DEVICE)
                                   : substitute::ErrorFromErrno(code, toPath));
        return FALSE;
    }
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES /*security*/) {
    std::string given = substitute::Utf8FromWide(name);
    LogCall("CreateDirectoryW", given);
    DWORD error = 0;
    if (TakeScriptedFailure("CreateDirectoryW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    std::string path = substitute::PathOfWide(given);
    if (::mkdir(path.c_str(), 0755) != 0) {
        int code = errno;
        SetLastError(code == EEXIST   ? static_cast<DWORD>(ERROR_ALREADY_EXISTS)
                     : code == ENOENT ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND)
                                      : substitute::ErrorFromErrno(code, path));
        return FALSE;
    }
    return TRUE;
}

BOOL GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
    std::string given = substitute::Utf8FromWide(name);
    LogCall("GetFileAttributesExW", given);
    DWORD error = 0;
    if (TakeScriptedFailure("GetFileAttributesExW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (level != GetFileExInfoStandard || information == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = substitute::PathOfWide(given);
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        SetLastError(path.empty() ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND)
                                  : substitute::ErrorFromErrno(errno, path));
        return FALSE;
    }
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
    bool folder = S_ISDIR(info.st_mode);
    auto size = static_cast<std::uint64_t>(folder ? 0 : info.st_size);
    data->dwFileAttributes = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    data->ftCreationTime = substitute::FileTimeOf(info.st_mtim);
    data->ftLastAccessTime = substitute::FileTimeOf(info.st_atim);
    data->ftLastWriteTime = substitute::FileTimeOf(info.st_mtim);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    std::shared_ptr<FileObject> object = substitute::FindFile(file);
    LogCall("FlushFileBuffers", object ? object->label : std::string("invalid"));
    DWORD error = 0;
    if (TakeScriptedFailure("FlushFileBuffers", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!object->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A pty or pipe has nothing to flush to a disk.
    if (::fsync(object->fd) != 0 && errno != EINVAL && errno != EROFS) {
        SetLastError(substitute::ErrorFromErrno(errno, object->path));
        return FALSE;
    }
    return TRUE;
}

namespace substitute {

void MapDevice(const std::string& name, const std::string& path) {
    substitute::FileState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.devices[substitute::DeviceNameOf(name)] = {path, false};
}

void MapCommDevice(const std::string& name, const std::string& path) {
    substitute::FileState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.devices[substitute::DeviceNameOf(name)] = {path, true};
}

void ReportFileSize(std::uint64_t size) {
    substitute::FileState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.sizeScripted = true;
    state.scriptedSize = size;
}

void ScriptWriteCounts(const std::vector<DWORD>& counts) {
    substitute::FileState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.scriptedWriteCounts.assign(counts.begin(), counts.end());
}

void LimitWriteSize(DWORD maxBytes) {
    substitute::FileState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.writeLimit = maxBytes;
}

} // namespace substitute
