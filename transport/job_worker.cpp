// The job worker thread: opens the input file (with the browser-cache fallback), reads the
// settings, picks a transport and hands the job over to it.
#include "transport/job_worker.h"

#include "core/job_request.h"
#include "core/transport_job.h"

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

// The error is taken by the caller where the job failed, before any release can change it.
DWORD EndJob(HWND window, DWORD error, JobResult result) {
    ReportDone(window, error, result);
    return static_cast<DWORD>(result);
}

// The settings key could not be opened, or a required value is missing: the failing call
// says why, then the job lets go of the input and of the key when it was opened.
DWORD EndWithSettingsError(HWND window, HANDLE* inputFile, HKEY settingsKey) {
    DWORD error = GetLastError();
    CloseJobInput(inputFile);
    if (settingsKey != nullptr) {
        RegCloseKey(settingsKey);
    }
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

// Opens the input file, looking for it in the current cache folder when it is missing.
// Every attempt failing is no failure here: the transport's first read fails and reports
// it. False when the job has ended (already reported).
bool OpenInputFile(HWND window, char* path, char* value, HANDLE* inputFile) {
    for (int attempt = 0; attempt < kInputOpenAttempts && *inputFile == INVALID_HANDLE_VALUE;
         ++attempt) {
        *inputFile =
            CreateFileA(path, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (*inputFile == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
                !RerootIntoCacheFolder(window, path, value)) {
                return false;
            }
        }
        Sleep(0);
    }
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

// The settings a job reads before its transport takes over.
struct JobSettings {
    int delay;
    int attempts;
    int timeout; // seconds, 0: none
    Transport transport;
};

// Opens the settings key into *settingsKey and reads Delay, Attempts (3 when missing),
// PrinterType and, last, Port, whose text stays in `value` for the transport. False when
// the key cannot be opened or a required value is missing; the failing call says why.
bool ReadJobSettings(HWND window, HKEY* settingsKey, char* value, JobSettings* settings) {
    if (!OpenSettingsKeyForReading(settingsKey)) {
        return false;
    }
    ReportStatus(window, IDS_STATUS_SETTING_UP_PORT);
    if (!ReadSettingValue(*settingsKey, kDelayValue, value)) {
        return false;
    }
    settings->delay = SettingNumber(value);
    settings->attempts = kDefaultAttempts;
    if (ReadSettingValue(*settingsKey, kAttemptsValue, value)) {
        settings->attempts = SettingNumber(value);
    }
    // Optional: without it the job keeps no limit of its own, and its absence must leave the
    // error code that a later failure reports as it was.
    settings->timeout = 0;
    DWORD errorBefore = GetLastError();
    if (ReadSettingValue(*settingsKey, kTimeoutValue, value)) {
        int seconds = SettingNumber(value);
        settings->timeout = seconds > 0 ? seconds : 0;
    } else {
        SetLastError(errorBefore);
    }
    if (!ReadSettingValue(*settingsKey, kPrinterTypeValue, value)) {
        return false;
    }
    settings->transport = ChooseTransport(value);
    return ReadSettingValue(*settingsKey, kPortValue, value);
}

JobResult HandOver(TransportJob* job, Transport transport) {
    switch (transport) {
    case Transport::SerialPort:
        return PortTransport(job, PortMode::Serial);
    case Transport::ParallelPort:
        return PortTransport(job, PortMode::Parallel);
    case Transport::Network:
        return NetworkTransport(job);
    case Transport::Driver:
        return DriverTransport(job);
    case Transport::RawQueue:
        return RawQueueTransport(job);
    }
    return JobResult::Done;
}

} // namespace

DWORD WINAPI JobWorker(LPVOID pathBuffer) {
    // A job repeated after a port that would not open counts its bytes afresh.
    g_jobOutcome.bytesAccepted = 0;
    char* path = static_cast<char*>(pathBuffer);
    HWND window = g_progressWindow;

    ReportStatus(window, IDS_STATUS_STARTING);
    ReportStatus(window, IDS_STATUS_OPENING_INPUT);
    if (path[0] == '\0') {
        return EndJob(window, GetLastError(), JobResult::InputFileError);
    }

    char value[kTextBufferSize];
    HANDLE inputFile = INVALID_HANDLE_VALUE;
    if (!OpenInputFile(window, path, value, &inputFile)) {
        return static_cast<DWORD>(JobResult::SettingsError);
    }

    HKEY settingsKey = nullptr;
    JobSettings settings{0, kDefaultAttempts, 0, Transport::SerialPort};
    if (!ReadJobSettings(window, &settingsKey, value, &settings)) {
        return EndWithSettingsError(window, &inputFile, settingsKey);
    }

    TransportJob job{window, path, inputFile, settingsKey, value, 0, 0};
    job.delay = settings.delay;
    job.attempts = settings.attempts;
    job.timeout = settings.timeout;
    return static_cast<DWORD>(HandOver(&job, settings.transport));
}

void PrepareJobStart() {
    AllowDefaultPrinterSwap();
}

void CutOffJob() {
    GiveBackDefaultPrinter();
}
