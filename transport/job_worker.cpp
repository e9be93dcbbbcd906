// The job worker thread: opens the input file (with the browser-cache fallback), reads the
// settings, picks a transport; plus the copy loop and pause the transports share.
#include "transport/job_worker.h"

#include "resources/resource_ids.h"
#include "settings/settings_store.h"
#include "transport/driver_transport.h"
#include "transport/network_transport.h"
#include "transport/port_transport.h"
#include "transport/raw_queue_transport.h"

#include <cstring>

namespace {

constexpr int kInputOpenAttempts = 3;
constexpr int kDefaultAttempts = 3;
constexpr char kShellFoldersKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kCacheValue[] = "Cache";
constexpr char kCacheMarker[] = "\\Content.IE5\\";

enum class Transport { SerialPort, ParallelPort, Network, Driver, RawQueue };

void CloseInput(HANDLE inputFile) {
    if (inputFile != INVALID_HANDLE_VALUE) {
        CloseHandle(inputFile);
    }
}

DWORD EndJob(HWND window, JobResult result) {
    ReportDone(window, GetLastError(), result);
    return static_cast<DWORD>(result);
}

// A browser hands over files from its cache folder; when the folder has moved since, the
// same file is looked for under the user's current cache folder. False when the job has
// ended (already reported).
bool RerootIntoCacheFolder(HWND window, char* path, char* value) {
    HKEY shellFolders = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kShellFoldersKey, 0, KEY_READ, &shellFolders) !=
        ERROR_SUCCESS) {
        EndJob(window, JobResult::SettingsError);
        return false;
    }
    if (!ReadSettingValue(shellFolders, kCacheValue, value)) {
        RegCloseKey(shellFolders);
        EndJob(window, JobResult::SettingsError);
        return false;
    }
    RegCloseKey(shellFolders);

    const char* tail = std::strstr(path, kCacheMarker);
    if (tail == nullptr) {
        return true;
    }
    std::size_t folderLength = std::strlen(value);
    std::size_t tailLength = std::strlen(tail);
    // A rebuilt path that would not fit the value buffer is not rebuilt.
    if (folderLength + tailLength > static_cast<std::size_t>(kTextBufferSize - 1)) {
        return true;
    }
    std::memcpy(value + folderLength, tail, tailLength + 1);
    std::memcpy(path, value, folderLength + tailLength + 1);
    return true;
}

Transport ChooseTransport(const char* printerType) {
    if (std::strcmp(printerType, "Parallel") == 0) {
        return Transport::ParallelPort;
    }
    if (std::strcmp(printerType, "TCP/IP") == 0) {
        return Transport::Network;
    }
    if (std::strcmp(printerType, "USB") == 0) {
        return Transport::Driver;
    }
    if (std::strcmp(printerType, kRawQueuePrinterType) == 0) {
        return Transport::RawQueue;
    }
    return Transport::SerialPort;
}

} // namespace

void ReportStatus(HWND progressWindow, UINT stringId) {
    SendMessageA(progressWindow, WM_JOB_STATUS, stringId, 0);
}

void ReportDone(HWND progressWindow, DWORD error, JobResult result) {
    SendMessageA(progressWindow, WM_JOB_DONE, error, static_cast<LPARAM>(result));
}

bool PauseAndContinue(int milliseconds) {
    // A negative pause would be taken as some 49 days.
    Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
    return true;
}

CopyOutcome JobCopyLoop(HANDLE inputFile, HWND progressWindow, ChannelWrite write, void* channel,
                        char** chunkBuffer) {
    *chunkBuffer =
        static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kCopyChunkSize));
    char* chunk = *chunkBuffer;
    if (chunk == nullptr) {
        // The heap does not say why; the job ends as an input failure with this code.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return CopyOutcome::ReadFailed;
    }
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(inputFile, chunk, kCopyChunkSize, &count, nullptr)) {
            return CopyOutcome::ReadFailed;
        }
        if (count > kCopyChunkSize) {
            count = kCopyChunkSize;
        }
        if (count > 0 && !write(channel, chunk, count)) {
            return CopyOutcome::WriteFailed;
        }
        SendMessageA(progressWindow, WM_JOB_ADVANCE, count, 0);
        std::memset(chunk, 0, kCopyChunkSize);
        if (count == 0) {
            return CopyOutcome::Completed;
        }
    }
}

void ReleaseChunkBuffer(char** chunkBuffer) {
    if (*chunkBuffer != nullptr) {
        HeapFree(GetProcessHeap(), 0, *chunkBuffer);
        *chunkBuffer = nullptr;
    }
}

DWORD WINAPI JobWorker(LPVOID pathBuffer) {
    char* path = static_cast<char*>(pathBuffer);
    HWND window = g_progressWindow;

    ReportStatus(window, IDS_STATUS_STARTING);
    ReportStatus(window, IDS_STATUS_OPENING_INPUT);
    if (path[0] == '\0') {
        return EndJob(window, JobResult::InputFileError);
    }

    char value[kTextBufferSize];
    HANDLE inputFile = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kInputOpenAttempts && inputFile == INVALID_HANDLE_VALUE;
         ++attempt) {
        inputFile =
            CreateFileA(path, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (inputFile == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
                !RerootIntoCacheFolder(window, path, value)) {
                return static_cast<DWORD>(JobResult::SettingsError);
            }
        }
        Sleep(0);
    }
    // Without an input file the job still goes on: the transport's first read fails and
    // reports it.

    HKEY settingsKey = nullptr;
    if (!OpenSettingsKeyForReading(&settingsKey)) {
        CloseInput(inputFile);
        return EndJob(window, JobResult::SettingsError);
    }
    ReportStatus(window, IDS_STATUS_SETTING_UP_PORT);

    if (!ReadSettingValue(settingsKey, kDelayValue, value)) {
        CloseInput(inputFile);
        RegCloseKey(settingsKey);
        return EndJob(window, JobResult::SettingsError);
    }
    int delay = SettingNumber(value);

    int attempts = kDefaultAttempts;
    if (ReadSettingValue(settingsKey, kAttemptsValue, value)) {
        attempts = SettingNumber(value);
    }

    if (!ReadSettingValue(settingsKey, kPrinterTypeValue, value)) {
        CloseInput(inputFile);
        RegCloseKey(settingsKey);
        return EndJob(window, JobResult::SettingsError);
    }
    Transport transport = ChooseTransport(value);

    if (!ReadSettingValue(settingsKey, kPortValue, value)) {
        CloseInput(inputFile);
        RegCloseKey(settingsKey);
        return EndJob(window, JobResult::SettingsError);
    }

    TransportJob job{window, path, inputFile, settingsKey, value, delay, attempts};
    JobResult result = JobResult::Done;
    switch (transport) {
    case Transport::SerialPort:
        result = PortTransport(&job, PortMode::Serial);
        break;
    case Transport::ParallelPort:
        result = PortTransport(&job, PortMode::Parallel);
        break;
    case Transport::Network:
        result = NetworkTransport(&job);
        break;
    case Transport::Driver:
        result = DriverTransport(&job);
        break;
    case Transport::RawQueue:
        result = RawQueueTransport(&job);
        break;
    }
    return static_cast<DWORD>(result);
}
