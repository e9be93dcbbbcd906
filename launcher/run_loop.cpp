// The run loop: runs the job, retries or recovers it, and turns a failure into a message.
#include "launcher/run_loop.h"

#include "core/file_names.h"
#include "core/text_basics.h"
#include "launcher/command_line.h"
#include "launcher/error_text.h"
#include "launcher/job_records.h"
#include "launcher/message_box.h"
#include "launcher/progress_window.h"
#include "launcher/wide_command_line.h"
#include "resources/resource_ids.h"
#include "settings/info_windows.h"
#include "settings/setting_places.h"
#include "settings/settings_window.h"
#include "transport/driver_transport.h"
#include "transport/printer_status.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kErrorCaption[] = "Error Message";
constexpr int kPortOpenRepeats = 25;
constexpr DWORD kPortOpenPause = 2000;

// Process-wide: a worker left running after Escape still holds a pointer to the path.
LaunchOptions g_options;

// Exit codes of quiet mode, one per class of failure; stable across versions.
constexpr int kExitPrinted = 1;
constexpr int kExitCommandLine = 2;
constexpr int kExitInputFile = 3;
constexpr int kExitSettings = 4;
constexpr int kExitOpen = 5;
constexpr int kExitLineSettings = 6;
constexpr int kExitConnection = 7;
constexpr int kExitWrite = 8;
constexpr int kExitNotReady = 9;
constexpr int kExitCancelled = 10;
constexpr int kExitOther = 11;
constexpr int kExitHeld = 12;
constexpr int kExitUnconfirmed = 13;
// Without -q the exit code says only whether an error was reported.
constexpr int kExitNoError = 1;
constexpr int kExitError = 0;

struct ExitClass {
    JobResult result;
    int exitCode;
};

const ExitClass kExitClasses[] = {
    {JobResult::InputFileError, kExitInputFile},
    {JobResult::SettingsError, kExitSettings},
    {JobResult::InitFileError, kExitSettings},
    {JobResult::PrinterListError, kExitSettings},
    {JobResult::PortOpenError, kExitOpen},
    {JobResult::QueueOpenError, kExitOpen},
    {JobResult::FailureAlreadyShown, kExitOpen}, // the print dialog found no printer
    {JobResult::PortSettingsReadError, kExitLineSettings},
    {JobResult::PortConfigError, kExitLineSettings},
    {JobResult::PortWriteError, kExitWrite},
    {JobResult::ReadWriteError, kExitWrite},
    {JobResult::QueueStartError, kExitWrite},
    {JobResult::QueueWriteError, kExitWrite},
    {JobResult::QueueEndError, kExitWrite},
    {JobResult::PrinterNotReady, kExitNotReady},
    {JobResult::PrinterHeld, kExitHeld},
    {JobResult::PrinterUnconfirmed, kExitUnconfirmed},
};

using ProgressRun = INT_PTR (*)(HINSTANCE instance, char* path);

constexpr char kNoFileWithFile[] =
    "-n (--nofile) sends nothing, but a label file was named; it is kept.";

constexpr char kPrinted[] = "printed";
constexpr char kFailed[] = "failed";
constexpr char kCancelled[] = "cancelled";
constexpr char kHeld[] = "held";
constexpr char kUnconfirmed[] = "unconfirmed";
// A label the printer holds, or did not confirm, was sent and deleted: no error of the job.
constexpr char kSentCaption[] = "Label Sent";

// ReasonsAndPath, PathAndReasons: the job's code is not a system error but the printer's
// reasons, named. PathAndWhy: the code is a kUnconfirmed* value, named.
enum class MessageArguments {
    None,
    ErrorAndText,
    PathErrorAndText,
    ReasonsAndPath,
    PathAndReasons,
    PathAndWhy
};

struct ResultMessage {
    JobResult result;
    UINT stringId;
    MessageArguments arguments;
};

const ResultMessage kResultMessages[] = {
    {JobResult::SettingsError, IDS_REGISTRY_ERROR, MessageArguments::ErrorAndText},
    {JobResult::InputFileError, IDS_FILE_INPUT_ERROR, MessageArguments::PathErrorAndText},
    {JobResult::PortOpenError, IDS_PORT_OPEN_ERROR, MessageArguments::PathErrorAndText},
    {JobResult::PortSettingsReadError, IDS_PORT_SETTINGS_READ_ERROR,
     MessageArguments::PathErrorAndText},
    {JobResult::PortConfigError, IDS_PORT_CONFIG_ERROR, MessageArguments::PathErrorAndText},
    {JobResult::PortWriteError, IDS_PORT_WRITE_ERROR, MessageArguments::PathErrorAndText},
    {JobResult::ReadWriteError, IDS_READ_WRITE_ERROR, MessageArguments::ErrorAndText},
    {JobResult::PrinterListError, IDS_PRINTER_LIST_ERROR, MessageArguments::ErrorAndText},
    {JobResult::InitFileError, IDS_INIT_FILE_ERROR, MessageArguments::None},
    {JobResult::QueueOpenError, IDS_QUEUE_OPEN_ERROR, MessageArguments::PathErrorAndText},
    {JobResult::QueueStartError, IDS_QUEUE_START_ERROR, MessageArguments::PathErrorAndText},
    {JobResult::QueueWriteError, IDS_QUEUE_WRITE_ERROR, MessageArguments::PathErrorAndText},
    {JobResult::QueueEndError, IDS_QUEUE_END_ERROR, MessageArguments::PathErrorAndText},
    {JobResult::PrinterNotReady, IDS_PRINTER_NOT_READY, MessageArguments::ReasonsAndPath},
    {JobResult::PrinterHeld, IDS_PRINTER_HELD, MessageArguments::PathAndReasons},
    {JobResult::PrinterUnconfirmed, IDS_PRINTER_UNCONFIRMED, MessageArguments::PathAndWhy},
};

struct WhyText {
    DWORD why;
    UINT stringId;
};

const WhyText kWhyTexts[] = {
    {kUnconfirmedNoAnswer, IDS_UNCONFIRMED_NO_ANSWER},
    {kUnconfirmedNoProgress, IDS_UNCONFIRMED_NO_PROGRESS},
    {kUnconfirmedConnectionEnded, IDS_UNCONFIRMED_CONNECTION_ENDED},
};

bool SentButNotConfirmed(JobResult result) {
    return result == JobResult::PrinterHeld || result == JobResult::PrinterUnconfirmed;
}

struct ReasonText {
    DWORD reason;
    UINT stringId;
};

const ReasonText kReasonTexts[] = {
    {kPrinterPaperOut, IDS_REASON_PAPER_OUT},
    {kPrinterRibbonOut, IDS_REASON_RIBBON_OUT},
    {kPrinterHeadOpen, IDS_REASON_HEAD_OPEN},
    {kPrinterPaused, IDS_REASON_PAUSED},
    {kPrinterMediaOut, IDS_REASON_MEDIA_OUT},
    {kPrinterCutterFault, IDS_REASON_CUTTER_FAULT},
    {kPrinterHeadOverTemperature, IDS_REASON_HEAD_OVER_TEMPERATURE},
    {kPrinterMotorOverTemperature, IDS_REASON_MOTOR_OVER_TEMPERATURE},
    {kPrinterBadHeadElement, IDS_REASON_BAD_HEAD_ELEMENT},
    {kPrinterHeadDetectionError, IDS_REASON_HEAD_DETECTION_ERROR},
    {kPrinterInvalidFirmwareConfig, IDS_REASON_INVALID_FIRMWARE_CONFIG},
    {kPrinterHeadThermistorOpen, IDS_REASON_HEAD_THERMISTOR_OPEN},
    {kPrinterJamDuringRetract, IDS_REASON_JAM_DURING_RETRACT},
    {kPrinterPresenterNotRunning, IDS_REASON_PRESENTER_NOT_RUNNING},
    {kPrinterPaperFeedError, IDS_REASON_PAPER_FEED_ERROR},
    {kPrinterClearPathFailed, IDS_REASON_CLEAR_PATH_FAILED},
    {kPrinterOtherError, IDS_REASON_OTHER_ERROR},
};

const ResultMessage* FindResultMessage(JobResult result) {
    for (const ResultMessage& entry : kResultMessages) {
        if (entry.result == result) {
            return &entry;
        }
    }
    return nullptr;
}

// text is in the encoding of the path buffer.
void ShowErrorMessage(const char* text) {
    ShowMessageInPathEncoding(text, kErrorCaption);
}

// text holds kPathBufferSize bytes; the system text takes at most kMaxPathLength of them.
// Where the system has no text for the code, the program's own short text stands in.
void LoadSystemErrorText(DWORD error, char* text) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                                  static_cast<DWORD>(kMaxPathLength), nullptr);
    if (length == 0) {
        const char* fallback = FallbackErrorText(error);
        snprintf(text, kPathBufferSize, "%s", fallback != nullptr ? fallback : "");
    }
    text[kMaxPathLength] = '\0';
}

// Adds `part` to the list in text (kTextBufferSize), after ", " when the list has some.
// A list too long for the buffer is cut: its first parts are the ones that matter.
void AppendPart(char* text, const char* part) {
    constexpr auto kCapacity = static_cast<std::size_t>(kTextBufferSize);
    std::size_t length = std::strlen(text);
    const char* pieces[] = {length > 0 ? ", " : "", part};
    for (const char* piece : pieces) {
        std::size_t room = kCapacity - 1 - length;
        std::size_t size = std::strlen(piece);
        std::size_t take = size < room ? size : room;
        std::memcpy(text + length, piece, take);
        length += take;
    }
    text[length] = '\0';
}

// The names of the reasons set in `reasons`, joined with ", ", into text (kTextBufferSize).
void ReasonsText(DWORD reasons, char* text) {
    text[0] = '\0';
    for (const ReasonText& entry : kReasonTexts) {
        if ((reasons & entry.reason) == 0) {
            continue;
        }
        char name[kTextBufferSize];
        LoadTextOrEmpty(entry.stringId, name, kTextBufferSize);
        if (entry.reason == kPrinterOtherError) {
            FillInUnnamedErrors(name, sizeof name);
        }
        AppendPart(text, name);
    }
}

void AppendCount(char* text, DWORD count, UINT oneId, UINT manyId) {
    if (count == 0) {
        return;
    }
    char format[kTextBufferSize];
    LoadTextOrEmpty(count == 1 ? oneId : manyId, format, kTextBufferSize);
    char part[kTextBufferSize];
    snprintf(part, sizeof part, format, static_cast<unsigned long>(count));
    AppendPart(text, part);
}

// The last state the printer reported, in words ("media out, 2 labels remaining"), into
// text (kTextBufferSize); "" when it reported none.
void PrinterStateText(const PrinterState& state, char* text) {
    text[0] = '\0';
    if (!state.reported) {
        return;
    }
    ReasonsText(state.reasons, text);
    AppendCount(text, state.labelsRemaining, IDS_PRINTER_LABEL_REMAINING,
                IDS_PRINTER_LABELS_REMAINING);
    AppendCount(text, state.formatsInBuffer, IDS_PRINTER_FORMAT_WAITING,
                IDS_PRINTER_FORMATS_WAITING);
    if (text[0] == '\0') {
        LoadTextOrEmpty(IDS_PRINTER_STATE_READY, text, kTextBufferSize);
    }
}

const char* ConfirmedText(Confirmed confirmed) {
    switch (confirmed) {
    case Confirmed::Closed:
        return "closed";
    case Confirmed::Received:
        return "received";
    case Confirmed::Printed:
        return kPrinted;
    case Confirmed::No:
        break;
    }
    return "no";
}

// Longer messages are cut to the buffer; nothing is written past it. message holds
// kTextBufferSize bytes. The message is composed in the encoding of the path, so the ANSI
// texts around the path are converted to it.
void ComposeResultMessage(JobResult result, const char* path, DWORD jobError, DWORD launcherError,
                          const char* ansiErrorText, char* message) {
    char errorText[kConvertedTextSize];
    AnsiTextInPathEncoding(ansiErrorText, errorText, kConvertedTextSize);
    // A stored "Printer" the job could not use: what is wrong with it says more than the code.
    if (result == JobResult::SettingsError && g_jobOutcome.printerProblem[0] != '\0') {
        char format[kTextBufferSize];
        LoadTextOrEmpty(IDS_STORED_PRINTER_ERROR, format, kTextBufferSize);
        char problem[kConvertedTextSize];
        AnsiTextInPathEncoding(g_jobOutcome.printerProblem, problem, kConvertedTextSize);
        ComposeInPathEncoding(message, kTextBufferSize, format,
                              SettingPlaceName(g_jobOutcome.settings), problem);
        return;
    }
    const ResultMessage* entry = FindResultMessage(result);
    if (entry == nullptr) {
        ComposeInPathEncoding(message, kTextBufferSize, "Unknown Error (%d) - %s",
                              static_cast<int>(launcherError), errorText);
        return;
    }
    char format[kTextBufferSize];
    LoadTextOrEmpty(entry->stringId, format, kTextBufferSize);
    switch (entry->arguments) {
    case MessageArguments::None:
        ComposeInPathEncoding(message, kTextBufferSize, "%s", format);
        break;
    case MessageArguments::ErrorAndText:
        ComposeInPathEncoding(message, kTextBufferSize, format, static_cast<int>(jobError),
                              errorText);
        break;
    case MessageArguments::PathErrorAndText:
        ComposeInPathEncoding(message, kTextBufferSize, format, path, static_cast<int>(jobError),
                              errorText);
        break;
    case MessageArguments::ReasonsAndPath:
    case MessageArguments::PathAndReasons: {
        char ansiReasons[kTextBufferSize];
        char reasons[kConvertedTextSize];
        ReasonsText(jobError, ansiReasons);
        AnsiTextInPathEncoding(ansiReasons, reasons, kConvertedTextSize);
        // "Not ready" names the reasons first, "held" the file.
        bool reasonsFirst = entry->arguments == MessageArguments::ReasonsAndPath;
        ComposeInPathEncoding(message, kTextBufferSize, format, reasonsFirst ? reasons : path,
                              reasonsFirst ? path : reasons);
        break;
    }
    case MessageArguments::PathAndWhy: {
        char ansiWhy[kTextBufferSize];
        ansiWhy[0] = '\0';
        for (const WhyText& why : kWhyTexts) {
            if (why.why == jobError) {
                LoadTextOrEmpty(why.stringId, ansiWhy, kTextBufferSize);
            }
        }
        char whyText[kConvertedTextSize];
        AnsiTextInPathEncoding(ansiWhy, whyText, kConvertedTextSize);
        ComposeInPathEncoding(message, kTextBufferSize, format, path, whyText);
        break;
    }
    }
}

// In quiet mode the text is composed all the same, for the records, and not shown.
void ReportFailure(const char* message) {
    if (!g_jobOptions.quiet) {
        ShowErrorMessage(message);
    }
}

// A label sent and deleted that the printer holds or did not confirm is no error of the job.
void ReportOutcome(JobResult result, const char* message) {
    if (!SentButNotConfirmed(result)) {
        ReportFailure(message);
    } else if (!g_jobOptions.quiet) {
        ShowMessageInPathEncoding(message, kSentCaption);
    }
}

// The quiet exit code of a job that ran. A port's line settings are, for the network
// transport, the steps of its connection, and for the driver transport, its turn.
int QuietExitCode(JobResult result, JobTransport transport, bool cutOff) {
    if (result == JobResult::Done) {
        return cutOff ? kExitCancelled : kExitPrinted;
    }
    bool lineSettings =
        result == JobResult::PortSettingsReadError || result == JobResult::PortConfigError;
    if (lineSettings && (transport == JobTransport::Network || transport == JobTransport::Driver)) {
        return kExitConnection;
    }
    for (const ExitClass& entry : kExitClasses) {
        if (entry.result == result) {
            return entry.exitCode;
        }
    }
    return kExitOther;
}

void RecordJob(const char* result, int exitCode, DWORD error, const char* message, DWORD started) {
    char printer[kTextBufferSize];
    PrinterStateText(g_jobOutcome.printer, printer);
    FinishedJob finished = {};
    finished.result = result;
    finished.confirmed = ConfirmedText(g_jobOutcome.confirmed);
    finished.printer = printer;
    finished.exitCode = exitCode;
    finished.error = error;
    finished.message = message;
    finished.path = g_options.path;
    finished.utf8Path = g_jobOptions.utf8Path;
    finished.milliseconds = GetTickCount() - started;
    g_recordFinishedJob(&finished, g_options.resultPath);
}

// Records the job that ended with result and returns the process's exit code. error is the
// code the message names; message is what was shown, or would have been.
int FinishJob(JobResult result, DWORD error, const char* message, DWORD started) {
    bool cutOff = ProgressWindowCutOff();
    int exitCode = 0;
    if (g_jobOptions.quiet) {
        exitCode = QuietExitCode(result, g_jobOutcome.transport, cutOff);
    } else {
        // A held or unconfirmed label was sent and deleted, and must not be sent again: the
        // exit code says "no error", as for a printed one; only quiet mode tells them apart.
        bool noError = result == JobResult::Done || SentButNotConfirmed(result);
        exitCode = noError ? kExitNoError : kExitError;
    }
    if (SentButNotConfirmed(result)) {
        RecordJob(result == JobResult::PrinterHeld ? kHeld : kUnconfirmed, exitCode, error, message,
                  started);
    } else if (result != JobResult::Done) {
        RecordJob(kFailed, exitCode, error, message, started);
    } else if (cutOff) {
        RecordJob(kCancelled, exitCode, ERROR_CANCELLED, "", started);
    } else {
        RecordJob(kPrinted, exitCode, 0, "", started);
    }
    return exitCode;
}

// A job refused before it ran: nothing is sent and the file stays.
int RefuseJob(const char* message, int quietExitCode, DWORD started) {
    ReportFailure(message);
    int exitCode = g_jobOptions.quiet ? quietExitCode : kExitError;
    RecordJob(kFailed, exitCode, 0, message, started);
    return exitCode;
}

// The command line refused for problem (in the encoding of the path buffer).
int RefuseCommandLine(const char* problem, DWORD started) {
    char format[kTextBufferSize];
    LoadTextOrEmpty(IDS_COMMAND_LINE_ERROR, format, kTextBufferSize);
    char message[kTextBufferSize];
    ComposeInPathEncoding(message, sizeof(message), format, problem);
    return RefuseJob(message, kExitCommandLine, started);
}

int RunJobsUntilDone(char* path, bool settingsVisited, DWORD started) {
    JobResult result = RunJob(path);
    // Captured before anything else can change it: an unknown result reports this code.
    DWORD launcherError = GetLastError();
    if (result == JobResult::Done) {
        return FinishJob(result, 0, "", started);
    }
    HANDLE heap = GetProcessHeap();
    char* errorText = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, kPathBufferSize));
    char noErrorText[1] = {'\0'};
    char message[kTextBufferSize];
    message[0] = '\0';
    DWORD shownError = 0;
    for (;;) {
        if (result == JobResult::FailureAlreadyShown) {
            // The job showed its own box (not in quiet mode); its text is the record's.
            shownError = g_lastJobError;
            snprintf(message, sizeof(message), "%s", kPrintDialogFailed);
            break;
        }
        // An unknown result shows the launcher's own code, so its text must describe it.
        bool known = FindResultMessage(result) != nullptr;
        shownError = known ? g_lastJobError : launcherError;
        if (errorText != nullptr) {
            LoadSystemErrorText(shownError, errorText);
        }
        bool settingsMissing =
            result == JobResult::SettingsError || result == JobResult::InitFileError;
        // Quiet mode offers no settings window: missing settings end the job.
        if (settingsMissing && !settingsVisited && !g_jobOptions.quiet) {
            settingsVisited = true;
            ShowSettingsWindow(g_instance);
            result = RunJob(path);
            launcherError = GetLastError();
            if (result == JobResult::Done) {
                break;
            }
            continue;
        }
        ComposeResultMessage(result, path, g_lastJobError, launcherError,
                             errorText != nullptr ? errorText : noErrorText, message);
        ReportOutcome(result, message);
        break;
    }
    if (errorText != nullptr) {
        HeapFree(heap, 0, errorText);
    }
    return FinishJob(result, shownError, message, started);
}

// A --printer name becomes the printer it names before anything is opened for the job; a
// name no key holds, or one whose device URI is none, leaves problem (in the encoding of the
// path) and false.
bool ResolvePrinterName(char* problem) {
    PrinterTarget* target = &g_jobOptions.target;
    if (target->kind != TargetKind::Named) {
        return true;
    }
    char name[kTextBufferSize];
    snprintf(name, sizeof name, "%s", target->name);
    char ansiProblem[kTextBufferSize];
    if (ResolveNamedPrinter(name, target, &g_jobOptions.targetPlace, ansiProblem,
                            sizeof ansiProblem)) {
        return true;
    }
    AnsiTextInPathEncoding(ansiProblem, problem, kConvertedTextSize);
    return false;
}

// Opens the windows the options ask for and runs the job (g_options holds the options).
int Launch(DWORD started) {
    g_jobOptions = g_options.job;
    bool quiet = g_jobOptions.quiet;
    if (quiet) {
        // No "No disk" box for a label on a removable drive, nor any other box of the system's.
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    }
    if (g_options.refused || g_options.problem[0] != '\0') {
        return RefuseCommandLine(g_options.problem, started);
    }
    char problem[kConvertedTextSize];
    if (!ResolvePrinterName(problem)) {
        return RefuseCommandLine(problem, started);
    }
    if (g_options.about && !quiet) {
        ShowAboutWindow(g_instance);
    }
    if (g_options.settings && !quiet) {
        ShowSettingsWindow(g_instance);
    }
    // A quiet run shows nothing, so a file named with -n would end as "printed" unsent.
    if (g_options.noFile && quiet && g_options.path[0] != '\0') {
        return RefuseCommandLine(kNoFileWithFile, started);
    }
    if (g_options.noFile) {
        return kExitNoError;
    }
    if (g_options.path[0] == '\0') {
        char text[kTextBufferSize];
        LoadTextOrEmpty(IDS_NO_FILE, text, kTextBufferSize);
        char message[kConvertedTextSize];
        AnsiTextInPathEncoding(text, message, kConvertedTextSize);
        return RefuseJob(message, kExitInputFile, started);
    }
    return RunJobsUntilDone(g_options.path, g_options.settings, started);
}

} // namespace

void (*g_recordFinishedJob)(const FinishedJob* job, const char* resultPath) = RecordFinishedJob;

JobResult RunJob(char* path) {
    // A quiet job runs behind a window that is never shown.
    ProgressRun runWindow = g_jobOptions.quiet ? RunHiddenProgressWindow : ShowProgressWindow;
    INT_PTR result = runWindow(g_instance, path);
    // A quiet job's transport has made its own attempts: repeating them would multiply the
    // wait its options promise.
    int repeats = g_jobOptions.quiet ? 0 : kPortOpenRepeats;
    for (int repeat = 0;
         repeat < repeats && result == static_cast<INT_PTR>(JobResult::PortOpenError); ++repeat) {
        Sleep(kPortOpenPause);
        result = runWindow(g_instance, path);
    }
    return static_cast<JobResult>(static_cast<int>(result));
}

int TagwrightMain(HINSTANCE instance, char* commandLine) {
    DWORD started = GetTickCount();
    g_instance = instance;
    ScanCommandLine(commandLine, &g_options);
    ApplyWideCommandLine(GetCommandLineW(), &g_options);
    return Launch(started);
}

int RunLaunchOptions(HINSTANCE instance, const LaunchOptions* options) {
    DWORD started = GetTickCount();
    g_instance = instance;
    if (options != &g_options) {
        g_options = *options;
    }
    return Launch(started);
}
