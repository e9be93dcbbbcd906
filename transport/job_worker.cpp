// The job worker thread: opens the input file (with the browser-cache fallback), reads the
// settings, picks a transport and hands the job over to it.
#include "transport/job_worker.h"

#include "core/transport_job.h"

#include "resources/resource_ids.h"
#include "settings/settings_store.h"
#include "transport/driver_transport.h"
#include "transport/network_transport.h"
#include "transport/port_transport.h"

#include <cstring>

namespace {

constexpr int kInputOpenAttempts = 3;
constexpr int kDefaultAttempts = 3;
constexpr char kShellFoldersKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kCacheValue[] = "Cache";
constexpr char kCacheMarker[] = "\\Content.IE5\\";

enum class Transport { SerialPort, ParallelPort, Network, Driver };

// The error is taken by the caller where the job failed, before any release can change it.
DWORD EndJob(HWND window, DWORD error, JobResult result) {
    ReportDone(window, error, result);
    return static_cast<DWORD>(result);
}

// A required settings value is missing: its read says why, then the job lets go of all.
DWORD EndForMissingSetting(HWND window, HANDLE inputFile, HKEY settingsKey) {
    DWORD error = GetLastError();
    CloseJobInput(&inputFile);
    RegCloseKey(settingsKey);
    return EndJob(window, error, JobResult::SettingsError);
}

// A browser hands over files from its cache folder; when the folder has moved since, the
// same file is looked for under the user's current cache folder. False when the job has
// ended (already reported).
bool RerootIntoCacheFolder(HWND window, char* path, char* value) {
    HKEY shellFolders = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, kShellFoldersKey, 0, KEY_READ, &shellFolders);
    if (status != ERROR_SUCCESS) {
        EndJob(window, static_cast<DWORD>(status), JobResult::SettingsError);
        return false;
    }
    if (!ReadSettingValue(shellFolders, kCacheValue, value)) {
        DWORD error = GetLastError();
        RegCloseKey(shellFolders);
        EndJob(window, error, JobResult::SettingsError);
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
    return Transport::SerialPort;
}

} // namespace

DWORD WINAPI JobWorker(LPVOID pathBuffer) {
    char* path = static_cast<char*>(pathBuffer);
    HWND window = g_progressWindow;

    ReportStatus(window, IDS_STATUS_STARTING);
    ReportStatus(window, IDS_STATUS_OPENING_INPUT);
    if (path[0] == '\0') {
        return EndJob(window, GetLastError(), JobResult::InputFileError);
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
        DWORD error = GetLastError();
        CloseJobInput(&inputFile);
        return EndJob(window, error, JobResult::SettingsError);
    }
    ReportStatus(window, IDS_STATUS_SETTING_UP_PORT);

    if (!ReadSettingValue(settingsKey, kDelayValue, value)) {
        return EndForMissingSetting(window, inputFile, settingsKey);
    }
    int delay = SettingNumber(value);

    int attempts = kDefaultAttempts;
    if (ReadSettingValue(settingsKey, kAttemptsValue, value)) {
        attempts = SettingNumber(value);
    }

    if (!ReadSettingValue(settingsKey, kPrinterTypeValue, value)) {
        return EndForMissingSetting(window, inputFile, settingsKey);
    }
    Transport transport = ChooseTransport(value);

    if (!ReadSettingValue(settingsKey, kPortValue, value)) {
        return EndForMissingSetting(window, inputFile, settingsKey);
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
    }
    return static_cast<DWORD>(result);
}

void PrepareJobStart() {
    AllowDefaultPrinterSwap();
}

void CutOffJob() {
    GiveBackDefaultPrinter();
}
