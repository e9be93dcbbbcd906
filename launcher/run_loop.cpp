// The run loop: runs the job, retries or recovers it, and turns a failure into a message.
#include "launcher/run_loop.h"

#include "core/file_names.h"
#include "core/text_basics.h"
#include "launcher/command_line.h"
#include "launcher/error_text.h"
#include "launcher/message_box.h"
#include "launcher/progress_window.h"
#include "launcher/wide_command_line.h"
#include "resources/resource_ids.h"
#include "settings/info_windows.h"
#include "settings/settings_window.h"

#include <cstddef>
#include <cstdio>

namespace {

constexpr char kErrorCaption[] = "Error Message";
constexpr int kPortOpenRepeats = 25;
constexpr DWORD kPortOpenPause = 2000;

// Process-wide: a worker left running after Escape still holds a pointer to the path.
LaunchOptions g_options;

// ReasonsAndPath: the job's code is not a system error but the printer's reasons, named.
enum class MessageArguments { None, ErrorAndText, PathErrorAndText, ReasonsAndPath };

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
};

struct ReasonText {
    DWORD reason;
    UINT stringId;
};

const ReasonText kReasonTexts[] = {
    {kPrinterPaperOut, IDS_REASON_PAPER_OUT},
    {kPrinterRibbonOut, IDS_REASON_RIBBON_OUT},
    {kPrinterHeadOpen, IDS_REASON_HEAD_OPEN},
    {kPrinterPaused, IDS_REASON_PAUSED},
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

// The names of the reasons set in `reasons`, joined with ", ", into text (kTextBufferSize).
void ReasonsText(DWORD reasons, char* text) {
    constexpr auto kCapacity = static_cast<std::size_t>(kTextBufferSize);
    text[0] = '\0';
    std::size_t length = 0;
    for (const ReasonText& entry : kReasonTexts) {
        if ((reasons & entry.reason) == 0) {
            continue;
        }
        char name[kTextBufferSize];
        LoadTextOrEmpty(entry.stringId, name, kTextBufferSize);
        int written =
            snprintf(text + length, kCapacity - length, "%s%s", length > 0 ? ", " : "", name);
        if (written < 0) {
            break;
        }
        length += static_cast<std::size_t>(written);
        if (length >= kCapacity - 1) {
            break;
        }
    }
}

// Longer messages are cut to the buffer; nothing is written past it. The message is composed
// in the encoding of the path, so the ANSI texts around the path are converted to it.
void ShowResultMessage(JobResult result, const char* path, DWORD jobError, DWORD launcherError,
                       const char* ansiErrorText) {
    char message[kTextBufferSize];
    char errorText[kConvertedTextSize];
    AnsiTextInPathEncoding(ansiErrorText, errorText, kConvertedTextSize);
    const ResultMessage* entry = FindResultMessage(result);
    if (entry == nullptr) {
        ComposeInPathEncoding(message, sizeof(message), "Unknown Error (%d) - %s",
                              static_cast<int>(launcherError), errorText);
        ShowErrorMessage(message);
        return;
    }
    char format[kTextBufferSize];
    LoadTextOrEmpty(entry->stringId, format, kTextBufferSize);
    switch (entry->arguments) {
    case MessageArguments::None:
        ComposeInPathEncoding(message, sizeof(message), "%s", format);
        break;
    case MessageArguments::ErrorAndText:
        ComposeInPathEncoding(message, sizeof(message), format, static_cast<int>(jobError),
                              errorText);
        break;
    case MessageArguments::PathErrorAndText:
        ComposeInPathEncoding(message, sizeof(message), format, path, static_cast<int>(jobError),
                              errorText);
        break;
    case MessageArguments::ReasonsAndPath: {
        char ansiReasons[kTextBufferSize];
        char reasons[kConvertedTextSize];
        ReasonsText(jobError, ansiReasons);
        AnsiTextInPathEncoding(ansiReasons, reasons, kConvertedTextSize);
        ComposeInPathEncoding(message, sizeof(message), format, reasons, path);
        break;
    }
    }
    ShowErrorMessage(message);
}

int RunJobsUntilDone(char* path, bool settingsVisited) {
    JobResult result = RunJob(path);
    // Captured before anything else can change it: an unknown result reports this code.
    DWORD launcherError = GetLastError();
    if (result == JobResult::Done) {
        return 1;
    }
    HANDLE heap = GetProcessHeap();
    char* errorText = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, kPathBufferSize));
    char noErrorText[1] = {'\0'};
    int exitCode = 0;
    for (;;) {
        if (result == JobResult::FailureAlreadyShown) {
            break;
        }
        // An unknown result shows the launcher's own code, so its text must describe it.
        bool known = FindResultMessage(result) != nullptr;
        DWORD shownError = known ? g_lastJobError : launcherError;
        if (errorText != nullptr) {
            LoadSystemErrorText(shownError, errorText);
        }
        bool settingsMissing =
            result == JobResult::SettingsError || result == JobResult::InitFileError;
        if (settingsMissing && !settingsVisited) {
            settingsVisited = true;
            ShowSettingsWindow(g_instance);
            result = RunJob(path);
            launcherError = GetLastError();
            if (result == JobResult::Done) {
                exitCode = 1;
                break;
            }
            continue;
        }
        ShowResultMessage(result, path, g_lastJobError, launcherError,
                          errorText != nullptr ? errorText : noErrorText);
        break;
    }
    if (errorText != nullptr) {
        HeapFree(heap, 0, errorText);
    }
    return exitCode;
}

} // namespace

JobResult RunJob(char* path) {
    INT_PTR result = ShowProgressWindow(g_instance, path);
    for (int repeat = 0;
         repeat < kPortOpenRepeats && result == static_cast<INT_PTR>(JobResult::PortOpenError);
         ++repeat) {
        Sleep(kPortOpenPause);
        result = ShowProgressWindow(g_instance, path);
    }
    return static_cast<JobResult>(static_cast<int>(result));
}

int TagwrightMain(HINSTANCE instance, char* commandLine) {
    g_instance = instance;
    ScanCommandLine(commandLine, &g_options);
    ApplyWideCommandLine(GetCommandLineW(), &g_options);
    g_jobOptions = g_options.job;
    if (g_options.about) {
        ShowAboutWindow(instance);
    }
    if (g_options.settings) {
        ShowSettingsWindow(instance);
    }
    if (g_options.noFile) {
        return 1;
    }
    if (g_options.path[0] == '\0') {
        char text[kTextBufferSize];
        LoadTextOrEmpty(IDS_NO_FILE, text, kTextBufferSize);
        char message[kConvertedTextSize];
        AnsiTextInPathEncoding(text, message, kConvertedTextSize);
        ShowErrorMessage(message);
        return 0;
    }
    return RunJobsUntilDone(g_options.path, g_options.settings);
}
