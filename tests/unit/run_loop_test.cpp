// The launcher end to end: command line, windows opened, retries, settings visit, messages
// and exit codes, with a scripted worker in place of the real job.
#include "launcher/job_records.h"
#include "launcher/run_loop.h"
#include "core/job_request.h"
#include "core/transport_job.h"
#include "platform/testing.h"
#include "resources/resource_ids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct ScriptedJob {
    DWORD error;
    int result;
    const char* rewrittenPath = nullptr; // the job rewrites the launcher's path buffer
};

std::mutex g_scriptMutex;
std::vector<ScriptedJob> g_script; // the last entry repeats
size_t g_nextJob = 0;
std::vector<std::string> g_workerPaths;
constexpr size_t kMaxJobs = 60;
// The way every job goes, as the worker would tell it.
JobTransport g_transport = JobTransport::None;
// When valid, each job waits for it after its first reports, before its end.
std::shared_future<void> g_holdJobs;
// When set, each job waits there until its window asks it to stop (bounded).
bool g_holdUntilStopped = false;

// What the run loop recorded, copied out of the record.
struct Recorded {
    std::string confirmed;
    std::string printer;
    std::string result;
    int exitCode;
    DWORD error;
    std::string message;
    std::string path;
    bool utf8Path;
    DWORD milliseconds;
    std::string resultPath;
};
std::vector<Recorded> g_recorded;

void RecordForTest(const FinishedJob* job, const char* resultPath) {
    g_recorded.push_back({job->confirmed, job->printer, job->result, job->exitCode, job->error,
                          job->message, job->path, job->utf8Path, job->milliseconds, resultPath});
}

// Reports like a job would (120, 121), then ends with the next scripted result.
DWORD WINAPI ScriptedWorker(LPVOID path) {
    HWND window = g_progressWindow;
    ScriptedJob job{0, 0};
    {
        std::lock_guard<std::mutex> lock(g_scriptMutex);
        g_workerPaths.push_back(static_cast<const char*>(path));
        // A run loop that never stops would hang the test: past this bound every job succeeds.
        if (g_nextJob >= kMaxJobs) {
            job = {0, 0};
        } else if (!g_script.empty()) {
            job = g_script[g_nextJob < g_script.size() ? g_nextJob : g_script.size() - 1];
            ++g_nextJob;
        }
    }
    SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_STARTING, 0);
    SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_OPENING_INPUT, 0);
    std::shared_future<void> hold;
    bool untilStopped = false;
    {
        std::lock_guard<std::mutex> lock(g_scriptMutex);
        g_jobOutcome.transport = g_transport;
        hold = g_holdJobs;
        untilStopped = g_holdUntilStopped;
    }
    if (hold.valid()) {
        hold.wait_for(std::chrono::seconds(10));
    }
    for (int i = 0; untilStopped && i < 10000 && !JobStopRequested(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (job.rewrittenPath != nullptr) {
        snprintf(static_cast<char*>(path), kPathBufferSize, "%s", job.rewrittenPath);
    }
    SendMessageA(window, WM_JOB_DONE, job.error, job.result);
    return static_cast<DWORD>(job.result);
}

std::string SystemText(DWORD error) {
    char text[kPathBufferSize] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, kMaxPathLength, nullptr);
    return text;
}

// ANSI (ISO 8859-1) text as wide text.
std::wstring Widened(const std::string& ansi) {
    std::wstring wide;
    for (char c : ansi) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

class RunLoopTest : public ::testing::Test {
  protected:
    void SetUp() override { Restart(); }
    // Every case of a table starts from a clean substitute layer too.
    void Restart() {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
        substitute::SubstituteThreadRoutine(ScriptedWorker);
        {
            std::lock_guard<std::mutex> lock(g_scriptMutex);
            g_script.clear();
            g_nextJob = 0;
            g_workerPaths.clear();
            g_transport = JobTransport::None;
            g_holdJobs = {};
            g_holdUntilStopped = false;
        }
        g_lastJobError = 0;
        g_jobOutcome = {};
        g_recorded.clear();
        g_recordFinishedJob = RecordForTest;
        opened.clear();
        // The About and settings windows are closed as soon as they open, as a user would.
        substitute::OnDialogOpened([this](HWND dialog, int templateId) {
            opened.push_back(templateId);
            if (templateId == IDD_INFO) {
                substitute::PressButton(dialog, IDOK);
            } else if (templateId == IDD_SETTINGS) {
                substitute::PressButton(dialog, IDCANCEL);
            }
        });
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
        // The run copied its command line's job options; later tests start without them.
        g_jobOptions = JobOptions{};
        g_recordFinishedJob = RecordFinishedJob;
    }

    void Script(std::vector<ScriptedJob> jobs) {
        std::lock_guard<std::mutex> lock(g_scriptMutex);
        g_script = std::move(jobs);
    }

    // The system's wide command line holds the same arguments unless the test set its own.
    int Run(const std::string& commandLine) {
        if (std::wstring(GetCommandLineW()) == L"tagwright.exe") {
            substitute::SetCommandLineW(L"tagwright.exe " + Widened(commandLine));
        }
        std::vector<char> text(commandLine.begin(), commandLine.end());
        text.push_back('\0');
        return TagwrightMain(nullptr, text.data());
    }

    // The launch the scan would give for `-q path` (quiet) or `path`.
    static LaunchOptions Options(const std::string& path, bool quiet) {
        LaunchOptions options = {};
        options.job.quiet = quiet;
        snprintf(options.path, sizeof(options.path), "%s", path.c_str());
        return options;
    }
    int Launch(const LaunchOptions& options) { return RunLaunchOptions(nullptr, &options); }

    std::vector<std::string> MessageTexts() {
        std::vector<std::string> texts;
        for (const auto& box : substitute::MessageBoxes()) {
            EXPECT_EQ(box.caption, "Error Message");
            EXPECT_EQ(box.type, MB_OK);
            EXPECT_EQ(box.owner, nullptr);
            EXPECT_TRUE(box.onFirstThread);
            texts.push_back(box.text);
        }
        return texts;
    }

    std::vector<int> opened;
};

const char kNoFile[] = "The program must be called with a file name on the command line.";

TEST_F(RunLoopTest, CommandLines) {
    const std::string longName(kMaxPathLength + 1, 'x');
    const struct {
        std::string commandLine;
        std::vector<int> windows;
        int exitCode;
        std::vector<std::string> messages;
        std::string jobPath;
    } cases[] = {
        {"", {}, 0, {kNoFile}, ""},
        {"-n", {}, 1, {}, ""},
        {"--nofile", {}, 1, {}, ""},
        {"-s", {IDD_SETTINGS}, 0, {kNoFile}, ""},
        {"-s -n", {IDD_SETTINGS}, 1, {}, ""},
        {"-n -s -?", {IDD_INFO, IDD_SETTINGS}, 1, {}, ""},
        {"-? -s label.txt", {IDD_INFO, IDD_SETTINGS, IDD_PROGRESS}, 1, {}, "label.txt"},
        {"label.txt -s", {IDD_SETTINGS}, 0, {kNoFile}, ""},
        {"-S label.txt", {IDD_PROGRESS}, 1, {}, "label.txt"},
        {"\"C:\\My Labels\\label one.zpl\"", {IDD_PROGRESS}, 1, {}, "C:\\My Labels\\label one.zpl"},
        {"label.txt  ", {}, 0, {kNoFile}, ""},
        {"\"C:\\unclosed quote.zpl", {IDD_PROGRESS}, 1, {}, "C:\\unclosed quote.zpl"},
        {longName, {}, 0, {kNoFile}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("command line [" + c.commandLine.substr(0, 60) + "]");
        Restart();
        Script({{0, 0}});
        EXPECT_EQ(Run(c.commandLine), c.exitCode);
        EXPECT_EQ(opened, c.windows);
        EXPECT_EQ(MessageTexts(), c.messages);
        EXPECT_TRUE(substitute::JoinThreads());
        std::lock_guard<std::mutex> lock(g_scriptMutex);
        EXPECT_EQ(g_workerPaths, c.jobPath.empty() ? std::vector<std::string>{}
                                                   : std::vector<std::string>{c.jobPath});
    }
}

TEST_F(RunLoopTest, PortThatNeverOpensIsTriedTwentySixTimes) {
    Script({{ERROR_FILE_NOT_FOUND, 3}});
    EXPECT_EQ(Run("label.txt"), 0);
    EXPECT_EQ(opened, std::vector<int>(26, IDD_PROGRESS));
    EXPECT_EQ(substitute::Sleeps(), std::vector<DWORD>(25, 2000));
    // Every run's worker handle is released; none is kept across runs.
    const auto log = substitute::CallLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "CreateThread"), 26);
    EXPECT_EQ(std::count(log.begin(), log.end(), "CloseHandle thread:worker"), 26);
    EXPECT_EQ(MessageTexts(),
              std::vector<std::string>{"Could not open COMM port for label.txt.  Returned (2) " +
                                       SystemText(ERROR_FILE_NOT_FOUND)});
}

TEST_F(RunLoopTest, PortThatOpensOnTheLastRepeatSucceeds) {
    std::vector<ScriptedJob> jobs(25, ScriptedJob{ERROR_ACCESS_DENIED, 3});
    jobs.push_back({0, 0});
    Script(jobs);
    EXPECT_EQ(Run("label.txt"), 1);
    EXPECT_EQ(opened.size(), 26u);
    EXPECT_EQ(substitute::Sleeps(), std::vector<DWORD>(25, 2000));
    EXPECT_TRUE(MessageTexts().empty());
}

TEST_F(RunLoopTest, SettingsAreOfferedOnce) {
    const std::string registry =
        "Unable to access registry. (2) " + SystemText(ERROR_FILE_NOT_FOUND);
    const std::string initFile = "Unable to access the initialization file.";
    const struct {
        const char* commandLine;
        std::vector<ScriptedJob> jobs;
        std::vector<int> windows;
        int exitCode;
        std::vector<std::string> messages;
    } cases[] = {
        {"label.txt", {{2, 1}, {2, 1}}, {IDD_PROGRESS, IDD_SETTINGS, IDD_PROGRESS}, 0, {registry}},
        {"label.txt", {{2, 1}, {0, 0}}, {IDD_PROGRESS, IDD_SETTINGS, IDD_PROGRESS}, 1, {}},
        {"-s label.txt", {{2, 1}}, {IDD_SETTINGS, IDD_PROGRESS}, 0, {registry}},
        {"label.txt", {{0, 9}}, {IDD_PROGRESS, IDD_SETTINGS, IDD_PROGRESS}, 0, {initFile}},
        {"-s label.txt", {{0, 9}}, {IDD_SETTINGS, IDD_PROGRESS}, 0, {initFile}},
        // 1 and 9 share the one visit.
        {"label.txt", {{2, 1}, {0, 9}}, {IDD_PROGRESS, IDD_SETTINGS, IDD_PROGRESS}, 0, {initFile}},
        {"label.txt", {{0, 9}, {2, 1}}, {IDD_PROGRESS, IDD_SETTINGS, IDD_PROGRESS}, 0, {registry}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.commandLine) + ", first result " +
                     std::to_string(c.jobs[0].result));
        Restart();
        Script(c.jobs);
        EXPECT_EQ(Run(c.commandLine), c.exitCode);
        EXPECT_EQ(opened, c.windows);
        EXPECT_EQ(MessageTexts(), c.messages);
        EXPECT_TRUE(substitute::JoinThreads());
    }
}

// After the settings visit the job is run with its own retries again.
TEST_F(RunLoopTest, SettingsVisitThenPortRetries) {
    std::vector<ScriptedJob> jobs{{2, 1}};
    jobs.insert(jobs.end(), 26, ScriptedJob{ERROR_SHARING_VIOLATION, 3});
    Script(jobs);
    EXPECT_EQ(Run("label.txt"), 0);
    ASSERT_EQ(opened.size(), 28u);
    EXPECT_EQ(opened[1], IDD_SETTINGS);
    EXPECT_EQ(substitute::Sleeps(), std::vector<DWORD>(25, 2000));
    EXPECT_EQ(MessageTexts(),
              std::vector<std::string>{"Could not open COMM port for label.txt.  Returned (32) " +
                                       SystemText(ERROR_SHARING_VIOLATION)});
}

TEST_F(RunLoopTest, EachResultShowsItsMessage) {
    const std::string path = "C:\\labels\\ship.zpl";
    const struct {
        int result;
        DWORD error;
        std::string prefix; // the message up to the system text
    } cases[] = {
        {2, 5, "File input error on " + path + ".  Returned (5) "},
        {3, 5, "Could not open COMM port for " + path + ".  Returned (5) "},
        {4, 10048, "Could not retrieve Port settings for " + path + ".  Returned (10048) "},
        {5, 31, "The Port is improperly configured for " + path + ".  Returned (31) "},
        {6, 10054, "Could not write data to Port for " + path + ".  Returned (10054) "},
        {7, 30, "Read/write error: (30) "},
        {8, 1801, "Could not retreive list of printers from operating system.  Returned(1801) "},
        {11, 1801,
         "Could not print " + path + " on the printer queue: OpenPrinter returned (1801) "},
        {12, 5, "Could not print " + path + " on the printer queue: StartDocPrinter returned (5) "},
        {13, 63, "Could not print " + path + " on the printer queue: WritePrinter returned (63) "},
        {14, 112,
         "Could not print " + path + " on the printer queue: EndDocPrinter returned (112) "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("result " + std::to_string(c.result));
        Restart();
        Script({{c.error, c.result}});
        EXPECT_EQ(Run(path), 0);
        std::string text = SystemText(c.error);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(MessageTexts(), std::vector<std::string>{c.prefix + text});
        EXPECT_TRUE(substitute::JoinThreads());
    }
}

// The same buffer serves every run; messages show the path as the job left it.
TEST_F(RunLoopTest, PathAsTheJobLeftIt) {
    const char* rewritten = "C:\\Users\\me\\Cache\\Content.IE5\\label.txt";
    Script({{ERROR_FILE_NOT_FOUND, 3, rewritten}, {ERROR_FILE_NOT_FOUND, 2}});
    EXPECT_EQ(Run("label.txt"), 0);
    std::lock_guard<std::mutex> lock(g_scriptMutex);
    EXPECT_EQ(g_workerPaths, (std::vector<std::string>{"label.txt", rewritten}));
    EXPECT_EQ(MessageTexts(),
              std::vector<std::string>{"File input error on " + std::string(rewritten) +
                                       ".  Returned (2) " + SystemText(ERROR_FILE_NOT_FOUND)});
}

// The text buffer comes from the process heap and is released on every message path.
TEST_F(RunLoopTest, ErrorTextBufferIsReleased) {
    Script({{5, 2}});
    EXPECT_EQ(Run("a.txt"), 0);
    const auto log = substitute::CallLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "HeapAlloc 2049"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "HeapFree 2049"), 1);
}

// Without the buffer the message is still shown, with no system text.
TEST_F(RunLoopTest, ErrorTextBufferUnavailable) {
    Script({{5, 2}});
    substitute::FailNext("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Run("a.txt"), 0);
    EXPECT_EQ(MessageTexts(),
              std::vector<std::string>{"File input error on a.txt.  Returned (5) "});
}

// Where the system has no text for a code, the program's own short text ends the message;
// where the system has one, the system's is shown; a code neither knows ends after "(N) ".
TEST_F(RunLoopTest, CodesWithoutSystemTextShowTheProgramsOwnWords) {
    const struct {
        DWORD code;
        bool systemHasText;
        const char* expected; // nullptr: the system's own text
    } cases[] = {
        {WSAENETUNREACH, false, "The network cannot be reached."},
        {WSAEHOSTUNREACH, false, "The printer cannot be reached."},
        {WSAETIMEDOUT, false, "The printer did not answer in time."},
        {WSAECONNREFUSED, false, "The printer refused the connection."},
        {WSAECONNRESET, false, "The connection was reset by the printer."},
        {WSAECONNABORTED, false, "The connection was aborted."},
        {WSAEADDRNOTAVAIL, false, "The address is not available."},
        {WSAEADDRINUSE, false, "The local address is already in use."},
        {WSAENETDOWN, false, "The network is down."},
        {ERROR_ACCESS_DENIED, false, "Access is denied."},
        {ERROR_SHARING_VIOLATION, false, "The file is in use by another program."},
        {ERROR_FILE_TOO_LARGE, false, "The file is too large."},
        {ERROR_FILE_NOT_FOUND, false, "The file or setting was not found."},
        {ERROR_MORE_DATA, false, "The setting is too long."},
        {ERROR_INVALID_HANDLE, false, "The file is not open."},
        {ERROR_NOT_ENOUGH_MEMORY, false, "Not enough memory."},
        {ERROR_WRITE_FAULT, false, "The device did not take the data."},
        {ERROR_CANCELLED, false, "The operation was cancelled."},
        {WSAEHOSTUNREACH, true, nullptr},
        {ERROR_SHARING_VIOLATION, true, nullptr},
        {ERROR_BROKEN_PIPE, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + (c.systemHasText ? " with" : " without") +
                     " system text");
        Restart();
        Script({{c.code, static_cast<int>(JobResult::PortConfigError)}});
        const std::string words = c.expected != nullptr ? c.expected : SystemText(c.code);
        ASSERT_FALSE(c.expected == nullptr && words.empty());
        if (!c.systemHasText) {
            substitute::RemoveSystemText(c.code);
        }
        EXPECT_EQ(Run("a.txt"), 0);
        EXPECT_EQ(MessageTexts(),
                  std::vector<std::string>{"The Port is improperly configured for a.txt.  "
                                           "Returned (" +
                                           std::to_string(c.code) + ") " + words});
    }
}

// A message longer than the 2048-byte buffer is cut, never overrun.
TEST_F(RunLoopTest, LongMessageIsCut) {
    std::string path = "C:\\" + std::string(kMaxPathLength - 3, 'p');
    Script({{5, 6}});
    EXPECT_EQ(Run(path), 0);
    auto texts = MessageTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].size(), static_cast<size_t>(kTextBufferSize - 1));
    EXPECT_EQ(texts[0],
              ("Could not write data to Port for " + path).substr(0, kTextBufferSize - 1));
}

TEST_F(RunLoopTest, UnknownResultShowsTheLaunchersError) {
    for (int result : {18, 42, -7}) {
        SCOPED_TRACE("result " + std::to_string(result));
        Restart();
        Script({{ERROR_ACCESS_DENIED, result}});
        // The launcher's own code at the time the window returned.
        substitute::OnMessageHandled([](HWND, int, UINT message, WPARAM, LPARAM) {
            if (message == WM_JOB_DONE) {
                SetLastError(ERROR_INVALID_PARAMETER);
            }
        });
        EXPECT_EQ(Run("a.txt"), 0);
        EXPECT_EQ(MessageTexts(), std::vector<std::string>{"Unknown Error (87) - " +
                                                           SystemText(ERROR_INVALID_PARAMETER)});
        EXPECT_TRUE(substitute::JoinThreads());
    }
}

// The printer's reasons come in place of a system error code and are named in the message,
// in a fixed order whatever bits are set; unknown bits name nothing. An error without a name
// shows the printer's own bits.
TEST_F(RunLoopTest, PrinterNotReadyNamesItsReasons) {
    const struct {
        DWORD reasons;
        const char* named;
        DWORD unnamed[2];
    } cases[] = {
        {kPrinterPaperOut, "paper out", {0, 0}},
        {kPrinterRibbonOut, "ribbon out", {0, 0}},
        {kPrinterHeadOpen, "head open", {0, 0}},
        {kPrinterPaused, "paused", {0, 0}},
        {kPrinterPaused | kPrinterHeadOpen | kPrinterPaperOut,
         "paper out, head open, paused",
         {0, 0}},
        {kPrinterRibbonOut | 0x40000000, "ribbon out", {0, 0}},
        {kPrinterMediaOut, "media out", {0, 0}},
        {kPrinterCutterFault | kPrinterHeadOverTemperature | kPrinterMotorOverTemperature |
             kPrinterBadHeadElement | kPrinterHeadDetectionError,
         "cutter fault, printhead over temperature, motor over temperature, bad printhead element, "
         "printhead detection error",
         {0, 0}},
        {kPrinterInvalidFirmwareConfig | kPrinterHeadThermistorOpen | kPrinterJamDuringRetract |
             kPrinterPresenterNotRunning | kPrinterPaperFeedError | kPrinterClearPathFailed,
         "invalid firmware configuration, printhead thermistor open, paper jam during retract, "
         "presenter not running, paper feed error, clear paper path failed",
         {0, 0}},
        {kPrinterMediaOut | kPrinterOtherError, "media out, error 00000400", {0, 0x400}},
        {kPrinterOtherError, "error 00000001 00000000", {1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        Restart();
        g_printerUnnamedErrors[0] = c.unnamed[0];
        g_printerUnnamedErrors[1] = c.unnamed[1];
        Script({{c.reasons, static_cast<int>(JobResult::PrinterNotReady)}});
        EXPECT_EQ(Run("C:\\labels\\a.zpl"), 0);
        EXPECT_EQ(opened, std::vector<int>{IDD_PROGRESS}); // no retry, no settings window
        EXPECT_EQ(MessageTexts(),
                  std::vector<std::string>{std::string("The printer is not ready (") + c.named +
                                           ") for C:\\labels\\a.zpl."});
        EXPECT_TRUE(substitute::JoinThreads());
    }
}

// A label the printer holds or did not confirm was sent and deleted: its box is no error
// box, and the record names what the printer proved and its last state in words.
TEST_F(RunLoopTest, HeldAndUnconfirmedLabelsAreNamedWithThePrintersState) {
    const struct {
        const char* name;
        JobResult result;
        DWORD code;
        Confirmed confirmed;
        PrinterState printer;
        const char* message;
        const char* confirmedText;
        const char* printerText;
    } cases[] = {
        {"held, media out after two of five",
         JobResult::PrinterHeld,
         kPrinterMediaOut,
         Confirmed::Received,
         {true, kPrinterMediaOut, 2, 0},
         "The printer has the label from C:\\a.zpl but reports media out; it prints once that is "
         "put right.",
         "received",
         "media out, 2 labels remaining"},
        {"held, paused with one format",
         JobResult::PrinterHeld,
         kPrinterPaused,
         Confirmed::Received,
         {true, kPrinterPaused, 1, 1},
         "The printer has the label from C:\\a.zpl but reports paused; it prints once that is put "
         "right.",
         "received",
         "paused, 1 label remaining, 1 format waiting"},
        {"silent",
         JobResult::PrinterUnconfirmed,
         kUnconfirmedNoAnswer,
         Confirmed::No,
         {},
         "The label from C:\\a.zpl was sent, but the printer did not confirm it (it did not "
         "answer its status queries).",
         "no",
         ""},
        {"stopped making progress",
         JobResult::PrinterUnconfirmed,
         kUnconfirmedNoProgress,
         Confirmed::Received,
         {true, 0, 3, 2},
         "The label from C:\\a.zpl was sent, but the printer did not confirm it (it stopped "
         "making progress before the label printed).",
         "received",
         "3 labels remaining, 2 formats waiting"},
        {"connection ended",
         JobResult::PrinterUnconfirmed,
         kUnconfirmedConnectionEnded,
         Confirmed::No,
         {},
         "The label from C:\\a.zpl was sent, but the printer did not confirm it (the connection "
         "ended before it answered).",
         "no",
         ""},
        {"printed",
         JobResult::Done,
         0,
         Confirmed::Printed,
         {true, 0, 0, 0},
         "",
         "printed",
         "ready"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool quiet : {false, true}) {
            Restart();
            g_jobOutcome.confirmed = c.confirmed;
            g_jobOutcome.printer = c.printer;
            Script({{c.code, static_cast<int>(c.result)}});
            int exitCode = Launch(Options("C:\\a.zpl", quiet));
            int quietCode = c.result == JobResult::PrinterHeld          ? 12
                            : c.result == JobResult::PrinterUnconfirmed ? 13
                                                                        : 1;
            EXPECT_EQ(exitCode, quiet ? quietCode : 1);
            auto boxes = substitute::MessageBoxes();
            if (quiet || c.result == JobResult::Done) {
                EXPECT_TRUE(boxes.empty());
            } else {
                ASSERT_EQ(boxes.size(), 1u);
                EXPECT_EQ(boxes[0].caption, "Label Sent");
                EXPECT_EQ(boxes[0].text, c.message);
            }
            ASSERT_EQ(g_recorded.size(), 1u);
            EXPECT_EQ(g_recorded[0].message, c.message);
            EXPECT_EQ(g_recorded[0].confirmed, c.confirmedText);
            EXPECT_EQ(g_recorded[0].printer, c.printerText);
            EXPECT_TRUE(substitute::JoinThreads());
        }
    }
    g_jobOutcome = JobOutcome{};
}

// The worker cannot be started: the window ends at once and the launcher reports why, from
// the job's record, whatever the dialog's clean-up left in the thread's last error.
TEST_F(RunLoopTest, WorkerThatCannotStart) {
    substitute::FailNext("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    substitute::LeaveLastErrorAfterDialogs(ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(Run("a.txt"), 0);
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{"Unknown Error (8) - " +
                                                       SystemText(ERROR_NOT_ENOUGH_MEMORY)});
    std::lock_guard<std::mutex> lock(g_scriptMutex);
    EXPECT_TRUE(g_workerPaths.empty());
}

TEST_F(RunLoopTest, ProgressWindowThatCannotBeCreated) {
    substitute::FailNext("DialogBoxParamA", ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(Run("a.txt"), 0);
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{"Unknown Error (1814) - " +
                                                       SystemText(ERROR_RESOURCE_NAME_NOT_FOUND)});
}

// The job has shown its own message: no second one, and no settings visit.
TEST_F(RunLoopTest, FailureAlreadyShown) {
    Script({{1, static_cast<int>(JobResult::FailureAlreadyShown)}});
    EXPECT_EQ(Run("a.txt"), 0);
    EXPECT_EQ(opened, std::vector<int>{IDD_PROGRESS});
    EXPECT_TRUE(substitute::MessageBoxes().empty());
}

TEST_F(RunLoopTest, FailureAlreadyShownAfterSettingsVisit) {
    Script({{2, 1}, {1, static_cast<int>(JobResult::FailureAlreadyShown)}});
    EXPECT_EQ(Run("a.txt"), 0);
    EXPECT_EQ(opened, (std::vector<int>{IDD_PROGRESS, IDD_SETTINGS, IDD_PROGRESS}));
    EXPECT_TRUE(substitute::MessageBoxes().empty());
}

TEST_F(RunLoopTest, DoneEndsQuietly) {
    Script({{0, 0}});
    EXPECT_EQ(Run("a.txt"), 1);
    EXPECT_EQ(opened, std::vector<int>{IDD_PROGRESS});
    EXPECT_TRUE(substitute::MessageBoxes().empty());
    EXPECT_TRUE(substitute::Sleeps().empty());
}

// A name the ANSI code page cannot spell reaches the job in UTF-8 from the wide command line
// and is shown with MessageBoxW; a name it spells keeps its bytes and MessageBoxA.
TEST_F(RunLoopTest, MessageNamesTheFileAsTheUserWroteIt) {
    const struct {
        std::wstring commandLine;
        std::string ansiArguments; // as the system hands them to WinMain
        std::string jobPath;
        std::string call;
    } cases[] = {
        {L"tagwright.exe \"C:\\标签 目录\\标签.zpl\"", "\"C:\\?? ??\\??.zpl\"",
         "C:\\标签 目录\\标签.zpl", "MessageBoxW"},
        {L"tagwright.exe C:\\caf\u00e9.zpl", "C:\\caf\xe9.zpl", "C:\\caf\xe9.zpl", "MessageBoxA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        Restart();
        substitute::SetCommandLineW(c.commandLine);
        Script({{ERROR_FILE_NOT_FOUND, 2}});
        EXPECT_EQ(Run(c.ansiArguments), 0);
        EXPECT_EQ(MessageTexts(),
                  std::vector<std::string>{"File input error on " + c.jobPath + ".  Returned (2) " +
                                           SystemText(ERROR_FILE_NOT_FOUND)});
        std::vector<std::string> boxes;
        for (const std::string& line : substitute::CallLog()) {
            if (line.rfind("MessageBox", 0) == 0) {
                boxes.push_back(line);
            }
        }
        EXPECT_EQ(boxes, std::vector<std::string>{c.call + " Error Message"});
        EXPECT_TRUE(substitute::JoinThreads());
        std::lock_guard<std::mutex> lock(g_scriptMutex);
        EXPECT_EQ(g_workerPaths, std::vector<std::string>{c.jobPath});
    }
}

// A UTF-8 message cut at the end of its buffer loses the character the cut would split.
TEST_F(RunLoopTest, LongUtf8MessageIsCutBetweenCharacters) {
    substitute::SetCommandLineW(L"tagwright.exe " + std::wstring(682, L'标'));
    Script({{5, 2}});
    EXPECT_EQ(Run(std::string(682, '?')), 0);
    std::string expected = "File input error on ";
    while (expected.size() + 3 <= static_cast<size_t>(kTextBufferSize - 1)) {
        expected += "标";
    }
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{expected});
}

// ---- Quiet mode, exit codes and the record of each job ----

// Every class of result, by every transport: the quiet exit code, no window shown, no box,
// no settings visit, and one record carrying the text the box would have shown.
TEST_F(RunLoopTest, QuietExitCodeOfEachResultByTransport) {
    const JobTransport transports[] = {JobTransport::None,         JobTransport::SerialPort,
                                       JobTransport::ParallelPort, JobTransport::Network,
                                       JobTransport::Driver,       JobTransport::RawQueue};
    const struct {
        int result;
        DWORD error;
        int exitCode;           // any transport but the network and driver ones
        int connectionExitCode; // the network transport, and the driver transport's turn
    } cases[] = {
        {0, 0, 1, 1},
        {1, ERROR_FILE_NOT_FOUND, 4, 4},
        {2, ERROR_ACCESS_DENIED, 3, 3},
        {3, ERROR_SHARING_VIOLATION, 5, 5},
        {4, WSAEADDRINUSE, 6, 7},
        {5, WSAECONNREFUSED, 6, 7},
        {6, WSAECONNRESET, 8, 8},
        {7, ERROR_READ_FAULT, 8, 8},
        {8, ERROR_INVALID_PRINTER_NAME, 4, 4},
        {9, 0, 4, 4},
        {10, 0x1007, 5, 5}, // the print dialog library failed
        {11, ERROR_INVALID_PRINTER_NAME, 5, 5},
        {12, ERROR_ACCESS_DENIED, 8, 8},
        {13, ERROR_PRINT_CANCELLED, 8, 8},
        {14, ERROR_DISK_FULL, 8, 8},
        {15, kPrinterPaperOut | kPrinterHeadOpen, 9, 9},
        {16, kPrinterMediaOut, 12, 12},
        {17, kUnconfirmedNoAnswer, 13, 13},
        {18, ERROR_ACCESS_DENIED, 11, 11},
        {-1, ERROR_ACCESS_DENIED, 11, 11},
    };
    const std::string path = "C:\\labels\\ship.zpl";
    for (const auto& c : cases) {
        // What the user sees without -q is what quiet mode records.
        Restart();
        Script({{c.error, c.result}});
        int shownExit = Launch(Options(path, false));
        std::vector<std::string> shown;
        for (const auto& box : substitute::MessageBoxes()) {
            shown.push_back(box.text);
        }
        ASSERT_EQ(g_recorded.size(), 1u);
        // A held or unconfirmed label was deleted: without -q it ends as a printed one.
        bool sent = c.result == 0 || c.result == 16 || c.result == 17;
        EXPECT_EQ(shownExit, sent ? 1 : 0);
        EXPECT_EQ(g_recorded[0].exitCode, shownExit);
        const std::string wouldShow = g_recorded[0].message;
        EXPECT_TRUE(substitute::JoinThreads());
        for (JobTransport transport : transports) {
            SCOPED_TRACE("result " + std::to_string(c.result) + ", transport " +
                         std::to_string(static_cast<int>(transport)));
            Restart();
            Script({{c.error, c.result}});
            {
                std::lock_guard<std::mutex> lock(g_scriptMutex);
                g_transport = transport;
            }
            bool connection =
                transport == JobTransport::Network || transport == JobTransport::Driver;
            int expected = connection ? c.connectionExitCode : c.exitCode;
            EXPECT_EQ(Launch(Options(path, true)), expected);
            EXPECT_TRUE(substitute::ShownDialogs().empty());
            EXPECT_TRUE(substitute::MessageBoxes().empty());
            EXPECT_TRUE(opened.empty());
            EXPECT_TRUE(substitute::Sleeps().empty());
            EXPECT_TRUE(substitute::JoinThreads());
            {
                std::lock_guard<std::mutex> lock(g_scriptMutex);
                // One run behind a hidden window, also for a port that never opens: the
                // transport made its attempts, and quiet mode repeats none of them.
                EXPECT_EQ(g_workerPaths.size(), 1u);
            }
            ASSERT_EQ(g_recorded.size(), 1u);
            const Recorded& record = g_recorded[0];
            EXPECT_EQ(record.result, c.result == 0    ? "printed"
                                     : c.result == 16 ? "held"
                                     : c.result == 17 ? "unconfirmed"
                                                      : "failed");
            EXPECT_EQ(record.exitCode, expected);
            EXPECT_EQ(record.message, wouldShow);
            if (c.result == 0) {
                EXPECT_EQ(record.error, 0u);
                EXPECT_EQ(record.message, "");
            } else if (c.result == 18 || c.result == -1) {
                EXPECT_NE(record.message.find("Unknown Error"), std::string::npos);
            } else {
                EXPECT_EQ(record.error, c.error);
            }
        }
        // The print dialog's box is the job's own; the others are the run loop's.
        if (c.result == 10) {
            EXPECT_EQ(wouldShow, "PrintDlg failed!");
        } else {
            EXPECT_EQ(shown, c.result == 0 ? std::vector<std::string>{}
                                           : std::vector<std::string>{wouldShow});
        }
    }
}

// A job cut off before its end is cancelled: in quiet mode by WM_CLOSE or the end of the
// session (exit 10), without it by Escape (exit 1, as always). It is asked to stop, and its
// failure then counts for nothing.
TEST_F(RunLoopTest, CutOffJobIsCancelled) {
    const struct {
        bool quiet;
        UINT message; // 0: Escape
        WPARAM wParam;
        int exitCode;
        const char* result;
    } cases[] = {
        {true, WM_CLOSE, 0, 10, "cancelled"},
        {true, WM_ENDSESSION, TRUE, 10, "cancelled"},
        {true, WM_ENDSESSION, FALSE, 8, "failed"}, // the session goes on: the job ends itself
        {false, 0, 0, 1, "cancelled"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.quiet ? "quiet, message " : "Escape, message ") +
                     std::to_string(c.message) + " " + std::to_string(c.wParam));
        Restart();
        Script({{ERROR_WRITE_FAULT, static_cast<int>(JobResult::PortWriteError)}});
        bool goesOn = c.message == WM_ENDSESSION && c.wParam == FALSE;
        std::promise<void> release;
        {
            std::lock_guard<std::mutex> lock(g_scriptMutex);
            if (goesOn) {
                g_holdJobs = release.get_future().share();
            } else {
                g_holdUntilStopped = true;
            }
        }
        bool sent = false;
        substitute::OnMessageHandled(
            [&c, &sent, &release](HWND dialog, int, UINT message, WPARAM wParam, LPARAM) {
                if (message != WM_JOB_STATUS || wParam != IDS_STATUS_OPENING_INPUT || sent) {
                    return;
                }
                sent = true;
                if (c.message == 0) {
                    EXPECT_TRUE(substitute::PressEscape(dialog));
                } else {
                    EXPECT_TRUE(PostMessageA(dialog, c.message, c.wParam, 0));
                }
                if (c.message == WM_ENDSESSION && c.wParam == FALSE) {
                    release.set_value(); // nothing cut the job off: let it end
                }
            });
        LaunchOptions options = Options("a.txt", c.quiet);
        EXPECT_EQ(Launch(options), c.exitCode);
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_TRUE(sent);
        EXPECT_TRUE(substitute::MessageBoxes().empty() || !c.quiet);
        ASSERT_EQ(g_recorded.size(), 1u);
        EXPECT_EQ(g_recorded[0].result, c.result);
        EXPECT_EQ(g_recorded[0].exitCode, c.exitCode);
        if (std::string(c.result) == "cancelled") {
            EXPECT_EQ(g_recorded[0].error, static_cast<DWORD>(ERROR_CANCELLED));
            EXPECT_EQ(g_recorded[0].message, "");
            EXPECT_TRUE(substitute::MessageBoxes().empty());
        }
    }
}

// Missing settings end a quiet job: no settings window, exit 4; About and settings asked for
// on the command line open nothing either.
TEST_F(RunLoopTest, QuietOpensNoWindowOfAnyKind) {
    const struct {
        bool about;
        bool settings;
        bool noFile;
        std::vector<ScriptedJob> jobs;
        int exitCode;
        size_t jobsRun;
        size_t records;
    } cases[] = {
        {false, false, false, {{ERROR_FILE_NOT_FOUND, 1}}, 4, 1, 1},
        {false, false, false, {{0, 9}}, 4, 1, 1},
        {true, true, false, {{ERROR_FILE_NOT_FOUND, 1}}, 4, 1, 1},
        {true, true, false, {{0, 0}}, 1, 1, 1},
        // -n sends nothing, so a file named with it is refused (exit 2), not "printed".
        {true, true, true, {{0, 0}}, 2, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.about ? "-? " : "") + (c.settings ? "-s " : "") +
                     (c.noFile ? "-n " : "") + "result " + std::to_string(c.jobs[0].result));
        Restart();
        Script(c.jobs);
        LaunchOptions options = Options("label.txt", true);
        options.about = c.about;
        options.settings = c.settings;
        options.noFile = c.noFile;
        EXPECT_EQ(Launch(options), c.exitCode);
        EXPECT_TRUE(opened.empty());
        EXPECT_TRUE(substitute::ShownDialogs().empty());
        EXPECT_TRUE(substitute::MessageBoxes().empty());
        EXPECT_TRUE(substitute::JoinThreads());
        std::lock_guard<std::mutex> lock(g_scriptMutex);
        EXPECT_EQ(g_workerPaths.size(), c.jobsRun);
        EXPECT_EQ(g_recorded.size(), c.records);
    }
}

// A command line that cannot be understood runs nothing and opens no other window: one
// message without -q, exit 2 with it; either way the refusal is recorded. So is a missing
// file name; -n records nothing.
TEST_F(RunLoopTest, RefusedLaunchesAreRecorded) {
    const std::string badLine = "The command line cannot be understood: --delay needs a number";
    const struct {
        bool quiet;
        const char* problem;
        const char* path;
        bool settings;
        int exitCode;
        std::vector<int> windows;
        std::vector<std::string> messages;
        std::string recordedMessage;
    } cases[] = {
        {false, "--delay needs a number", "label.txt", false, 0, {}, {badLine}, badLine},
        {true, "--delay needs a number", "label.txt", false, 2, {}, {}, badLine},
        {false, "--delay needs a number", "label.txt", true, 0, {}, {badLine}, badLine},
        {false, "", "", false, 0, {}, {kNoFile}, kNoFile},
        {true, "", "", false, 3, {}, {}, kNoFile},
        {false, "", "", true, 0, {IDD_SETTINGS}, {kNoFile}, kNoFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.quiet ? "quiet, " : "") + "problem [" + c.problem + "]" +
                     (c.settings ? " with -s" : ""));
        Restart();
        Script({{0, 0}});
        LaunchOptions options = Options(c.path, c.quiet);
        snprintf(options.problem, sizeof(options.problem), "%s", c.problem);
        snprintf(options.resultPath, sizeof(options.resultPath), "%s", "C:\\out\\result.json");
        options.settings = c.settings;
        EXPECT_EQ(Launch(options), c.exitCode);
        EXPECT_EQ(opened, c.windows);
        EXPECT_EQ(MessageTexts(), c.messages);
        EXPECT_TRUE(substitute::JoinThreads());
        {
            std::lock_guard<std::mutex> lock(g_scriptMutex);
            EXPECT_TRUE(g_workerPaths.empty());
        }
        ASSERT_EQ(g_recorded.size(), 1u);
        EXPECT_EQ(g_recorded[0].result, "failed");
        EXPECT_EQ(g_recorded[0].exitCode, c.exitCode);
        EXPECT_EQ(g_recorded[0].error, 0u);
        EXPECT_EQ(g_recorded[0].message, c.recordedMessage);
        EXPECT_EQ(g_recorded[0].path, c.path);
        EXPECT_EQ(g_recorded[0].resultPath, "C:\\out\\result.json");
    }
    Restart();
    LaunchOptions options = Options("", true);
    options.noFile = true;
    EXPECT_EQ(Launch(options), 1);
    EXPECT_TRUE(g_recorded.empty());
}

// The record of a job that ran: once per process however many runs it took, with the path
// as the job left it, the flag of its encoding, the result file asked for, and the time from
// the start to the end (here the virtual clock's 25 pauses of 2 s).
TEST_F(RunLoopTest, RecordOfAJobThatRan) {
    const char* rewritten = "C:\\Users\\me\\Cache\\label.txt";
    std::vector<ScriptedJob> jobs(25, ScriptedJob{ERROR_ACCESS_DENIED, 3, rewritten});
    jobs.push_back({ERROR_ACCESS_DENIED, 2});
    Script(jobs);
    LaunchOptions options = Options("label.txt", false);
    options.job.utf8Path = true;
    snprintf(options.resultPath, sizeof(options.resultPath), "%s", "r\xC3\xA9sultat.json");
    EXPECT_EQ(Launch(options), 0);
    EXPECT_FALSE(g_jobOptions.quiet);
    EXPECT_TRUE(g_jobOptions.utf8Path);
    ASSERT_EQ(g_recorded.size(), 1u);
    const Recorded& record = g_recorded[0];
    EXPECT_EQ(record.result, "failed");
    EXPECT_EQ(record.exitCode, 0);
    EXPECT_EQ(record.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(record.message, "File input error on " + std::string(rewritten) + ".  Returned (5) " +
                                  SystemText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(record.path, rewritten);
    EXPECT_TRUE(record.utf8Path);
    EXPECT_EQ(record.resultPath, "r\xC3\xA9sultat.json");
    EXPECT_GE(record.milliseconds, 25u * 2000u);
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{record.message});
    EXPECT_TRUE(substitute::OpenDialogs().empty());
    const auto log = substitute::CallLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "DialogBoxParamA 133"), 26);
}

// From the command line itself: -q and a value the scan refuses.
TEST_F(RunLoopTest, QuietAndProblemsFromTheCommandLine) {
    const std::string badDelay = "The command line cannot be understood: --delay takes a whole "
                                 "number of milliseconds from 0 to 3600000, not \"soon\".";
    const struct {
        std::string commandLine;
        int exitCode;
        std::vector<std::string> messages;
        size_t jobsRun;
        std::string recordedMessage;
    } cases[] = {
        {"-q label.txt", 7, {}, 1, ""},
        {"--quiet -s -? label.txt", 7, {}, 1, ""},
        {"--delay soon label.txt", 0, {badDelay}, 0, badDelay},
        {"-q --delay soon label.txt", 2, {}, 0, badDelay},
        {"-q", 3, {}, 0, kNoFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        Restart();
        Script({{WSAECONNREFUSED, static_cast<int>(JobResult::PortConfigError)}});
        {
            std::lock_guard<std::mutex> lock(g_scriptMutex);
            g_transport = JobTransport::Network;
        }
        EXPECT_EQ(Run(c.commandLine), c.exitCode);
        EXPECT_EQ(MessageTexts(), c.messages);
        EXPECT_TRUE(opened.empty());
        EXPECT_TRUE(substitute::ShownDialogs().empty());
        EXPECT_TRUE(substitute::JoinThreads());
        {
            std::lock_guard<std::mutex> lock(g_scriptMutex);
            EXPECT_EQ(g_workerPaths.size(), c.jobsRun);
        }
        ASSERT_EQ(g_recorded.size(), 1u);
        EXPECT_EQ(g_recorded[0].exitCode, c.exitCode);
        if (c.jobsRun == 0) {
            EXPECT_EQ(g_recorded[0].message, c.recordedMessage);
        } else {
            EXPECT_EQ(g_recorded[0].path, "label.txt");
        }
    }
}

} // namespace
