// The job worker thread: opens the input file (with the browser-cache fallback), reads the
// settings (or takes the printer named on the command line), picks a transport and hands the
// job over to it.
#include "transport/job_worker.h"

#include "core/file_names.h"
#include "core/job_request.h"
#include "core/transport_job.h"

#include "resources/resource_ids.h"
#include "settings/setting_places.h"
#include "settings/settings_store.h"
#include "transport/driver_transport.h"
#include "transport/job_target.h"
#include "transport/job_turn.h"
#include "transport/network_transport.h"
#include "transport/port_transport.h"
#include "transport/raw_queue_transport.h"

#include <cstdio>
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

// No settings key could be opened, or a required value is missing: the failing call says
// why, then the job lets go of the input and of the keys that were opened.
DWORD EndWithSettingsError(HWND window, HANDLE* inputFile, SettingPlaces* places) {
    DWORD error = GetLastError();
    CloseJobInput(inputFile);
    CloseSettingPlaces(places);
    return EndJob(window, error, JobResult::SettingsError);
}

// A job that names its printer, or shows no window, fails as soon as its input cannot be
// opened: nothing is opened towards the printer first, and a missing cache folder does not
// turn a missing file into a settings failure.
bool InputFirst() {
    return g_jobOptions.quiet || CommandLineTarget() != nullptr;
}

// A browser hands over files from its cache folder; when the folder has moved since, the
// same file is looked for under the user's current cache folder. False when the job has
// ended (already reported). Where the input comes first, a cache folder that cannot be read
// leaves the path as it is.
bool RerootIntoCacheFolder(HWND window, char* path, char* value) {
    HKEY shellFolders = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, kShellFoldersKey, 0, KEY_READ, &shellFolders);
    if (status != ERROR_SUCCESS) {
        if (InputFirst()) {
            return true;
        }
        EndJob(window, static_cast<DWORD>(status), JobResult::SettingsError);
        return false;
    }
    if (!ReadSettingValue(shellFolders, kCacheValue, value)) {
        DWORD error = GetLastError();
        RegCloseKey(shellFolders);
        if (InputFirst()) {
            return true;
        }
        EndJob(window, error, JobResult::SettingsError);
        return false;
    }
    RegCloseKey(shellFolders);

    const char* tail = std::strstr(path, kCacheMarker);
    if (tail == nullptr) {
        return true;
    }
    // The registry's folder is ANSI; it joins the path in the path's own encoding.
    char folder[kTextBufferSize];
    if (!AnsiTextInPathEncoding(value, folder, kTextBufferSize)) {
        return true;
    }
    std::size_t folderLength = std::strlen(folder);
    std::size_t tailLength = std::strlen(tail);
    // A rebuilt path that would not fit the value buffer is not rebuilt.
    if (folderLength + tailLength > static_cast<std::size_t>(kTextBufferSize - 1)) {
        return true;
    }
    std::memcpy(folder + folderLength, tail, tailLength + 1);
    std::memcpy(path, folder, folderLength + tailLength + 1);
    return true;
}

// Opens the input file, looking for it in the current cache folder when it is missing.
// Every attempt failing is no failure here (the transport's first read fails and reports
// it) unless the input comes first: then the job ends with the last attempt's code. False
// when the job has ended (already reported).
bool OpenInputFile(HWND window, char* path, char* value, HANDLE* inputFile) {
    DWORD openError = NO_ERROR;
    for (int attempt = 0; attempt < kInputOpenAttempts && *inputFile == INVALID_HANDLE_VALUE;
         ++attempt) {
        *inputFile = OpenInputByName(path);
        if (*inputFile == INVALID_HANDLE_VALUE) {
            openError = GetLastError();
            if ((openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND) &&
                !RerootIntoCacheFolder(window, path, value)) {
                return false;
            }
        }
        Sleep(0);
    }
    if (*inputFile == INVALID_HANDLE_VALUE && InputFirst()) {
        EndJob(window, openError, JobResult::InputFileError);
        return false;
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
    ConfirmLevel confirm;
    Transport transport;
};

Transport TransportOfTarget(TargetKind kind) {
    switch (kind) {
    case TargetKind::Socket:
        return Transport::Network;
    case TargetKind::Parallel:
        return Transport::ParallelPort;
    case TargetKind::Driver:
        return Transport::Driver;
    case TargetKind::RawQueue:
        return Transport::RawQueue;
    case TargetKind::Serial:
    case TargetKind::Stored:
    case TargetKind::Named:
        break;
    }
    return Transport::SerialPort;
}

JobTransport OutcomeTransport(Transport transport) {
    switch (transport) {
    case Transport::SerialPort:
        return JobTransport::SerialPort;
    case Transport::ParallelPort:
        return JobTransport::ParallelPort;
    case Transport::Network:
        return JobTransport::Network;
    case Transport::Driver:
        return JobTransport::Driver;
    case Transport::RawQueue:
        return JobTransport::RawQueue;
    }
    return JobTransport::None;
}

// A stored printer is named in the outcome as far as the worker knows it: the network and
// serial transports complete it from the values they read.
void RecordStoredTarget(Transport transport, const char* portText) {
    RecordJobTransport(OutcomeTransport(transport));
    PrinterTarget stored{};
    switch (transport) {
    case Transport::SerialPort:
        stored.kind = TargetKind::Serial;
        break;
    case Transport::ParallelPort:
        stored.kind = TargetKind::Parallel;
        break;
    case Transport::Driver:
        stored.kind = TargetKind::Driver;
        break;
    case Transport::RawQueue:
        stored.kind = TargetKind::RawQueue;
        break;
    case Transport::Network:
        return;
    }
    std::snprintf(stored.name, sizeof stored.name, "%s", portText);
    RecordJobTarget(&stored);
}

// Reads an optional number into *number; an absent value leaves the number, and the error
// code that a later failure reports, as they were.
void ReadOptionalNumber(const SettingPlaces* places, const char* name, char* value, int* number) {
    DWORD errorBefore = GetLastError();
    if (ReadPlacedSetting(places, name, value, nullptr)) {
        *number = SettingNumber(value);
        return;
    }
    SetLastError(errorBefore);
}

// The printer's name, or host, goes into `value` as the Port text would.
void TakeTarget(const PrinterTarget* target, char* value, JobSettings* settings) {
    settings->transport = TransportOfTarget(target->kind);
    std::snprintf(value, kTextBufferSize, "%s",
                  target->kind == TargetKind::Socket ? target->host : target->name);
    RecordJobTarget(target);
}

// Opens the settings keys into *places, decides where the printer comes from (*stored), and
// reads Delay (optional for a stored "Printer"), Attempts (3 when missing), Timeout and Confirm
// (optional), then, unless a "Printer" stands for them, PrinterType and, last, Port, whose text
// stays in `value` for the transport. A value given on the command line is not read. False
// when no key can be opened, a required value is missing or a "Printer" is no device URI;
// the failing call says why.
bool ReadJobSettings(HWND window, SettingPlaces* places, char* value, JobSettings* settings,
                     StoredPrinter* stored) {
    if (!OpenSettingPlaces(places)) {
        return false;
    }
    ReportStatus(window, IDS_STATUS_SETTING_UP_PORT);
    if (!FindStoredPrinter(places, stored, g_jobOutcome.printerProblem,
                           sizeof g_jobOutcome.printerProblem)) {
        g_jobOutcome.settings = stored->place;
        return false;
    }
    bool storedTarget = stored->place != SettingPlace::None;
    if (g_jobOptions.delay.given) {
        settings->delay = g_jobOptions.delay.value;
    } else if (storedTarget) {
        ReadOptionalNumber(places, kDelayValue, value, &settings->delay);
    } else {
        if (!ReadPlacedSetting(places, kDelayValue, value, nullptr)) {
            return false;
        }
        settings->delay = SettingNumber(value);
    }
    settings->attempts = kDefaultAttempts;
    if (g_jobOptions.attempts.given) {
        settings->attempts = g_jobOptions.attempts.value;
    } else if (ReadPlacedSetting(places, kAttemptsValue, value, nullptr)) {
        settings->attempts = SettingNumber(value);
    }
    // Optional: without it the job keeps no limit of its own.
    settings->timeout = 0;
    if (g_jobOptions.timeout.given) {
        settings->timeout = g_jobOptions.timeout.value;
    } else {
        ReadOptionalNumber(places, kTimeoutValue, value, &settings->timeout);
    }
    settings->confirm =
        g_jobOptions.confirmGiven ? g_jobOptions.confirm : PlacedConfirmLevel(places);
    if (storedTarget) {
        TakeTarget(&stored->target, value, settings);
        g_jobOutcome.settings = stored->place;
        return true;
    }
    if (!ReadPlacedSetting(places, kPrinterTypeValue, value, &g_jobOutcome.settings)) {
        return false;
    }
    settings->transport = ChooseTransport(value);
    if (!ReadPlacedSetting(places, kPortValue, value, nullptr)) {
        return false;
    }
    RecordStoredTarget(settings->transport, value);
    return true;
}

// A printer named on the command line replaces the stored type, port and line settings: the
// settings key is not opened. Its name goes into `value` as the Port text would.
void TakeCommandLineTarget(HWND window, const PrinterTarget* target, char* value,
                           JobSettings* settings) {
    ReportStatus(window, IDS_STATUS_SETTING_UP_PORT);
    settings->delay = g_jobOptions.delay.given ? g_jobOptions.delay.value : 0;
    settings->attempts =
        g_jobOptions.attempts.given ? g_jobOptions.attempts.value : kDefaultAttempts;
    settings->timeout = g_jobOptions.timeout.given ? g_jobOptions.timeout.value : 0;
    // Confirmation of a printer named on the command line comes only from --confirm.
    settings->confirm = g_jobOptions.confirmGiven ? g_jobOptions.confirm : ConfirmLevel::Off;
    TakeTarget(target, value, settings);
    g_jobOutcome.settings = g_jobOptions.targetPlace != SettingPlace::None
                                ? g_jobOptions.targetPlace
                                : SettingPlace::CommandLine;
}

// Seconds as the transports take them: none below 0, and a quiet job that has no limit
// stored or given gets one.
int EffectiveTimeout(int seconds) {
    if (seconds > 0) {
        return seconds;
    }
    return g_jobOptions.quiet && !g_jobOptions.timeout.given ? kQuietDefaultTimeout : 0;
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
    g_jobOutcome.confirmed = Confirmed::No;
    g_jobOutcome.printer = PrinterState{};
    g_jobOutcome.settings = SettingPlace::None;
    g_jobOutcome.printerProblem[0] = '\0';
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
        return static_cast<DWORD>(InputFirst() ? JobResult::InputFileError
                                               : JobResult::SettingsError);
    }

    SettingPlaces places{};
    StoredPrinter stored{};
    JobSettings settings{0, kDefaultAttempts, 0, ConfirmLevel::Off, Transport::SerialPort};
    const PrinterTarget* target = CommandLineTarget();
    if (target != nullptr && target->kind == TargetKind::Named) {
        // Only the launcher looks a name up; a job never guesses the printer it stands for.
        SetLastError(ERROR_INVALID_NAME);
        return EndWithSettingsError(window, &inputFile, &places);
    }
    if (target != nullptr) {
        TakeCommandLineTarget(window, target, value, &settings);
    } else if (!ReadJobSettings(window, &places, value, &settings, &stored)) {
        return EndWithSettingsError(window, &inputFile, &places);
    } else if (stored.place != SettingPlace::None) {
        target = &stored.target;
    }

    TransportJob job{window, path, inputFile, &places, value, 0, 0};
    job.target = target;
    job.delay = settings.delay;
    job.attempts = settings.attempts;
    job.timeout = EffectiveTimeout(settings.timeout);
    // Only the network and serial transports can hear back from the printer.
    bool twoWay =
        settings.transport == Transport::Network || settings.transport == Transport::SerialPort;
    job.confirm = twoWay ? settings.confirm : ConfirmLevel::Off;
    return static_cast<DWORD>(HandOver(&job, settings.transport));
}

void PrepareJobStart() {
    AllowDefaultPrinterSwap();
}

void CutOffJob() {
    GiveBackDefaultPrinter();
}
