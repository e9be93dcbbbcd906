// Fault sweep over whole jobs: each transport runs one job to record every platform call that
// can fail, then runs it again once per call with that one call failing. Every run must end
// in bounded time with exactly one WM_JOB_DONE, delete the input only when the printer took
// every byte (and keep it otherwise), leave nothing open and leave the default printer alone.
#include "core/job_request.h"
#include "transport/driver_transport.h"
#include "transport/job_worker.h"
#include "transport/printer_status.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace {

using Lines = std::vector<std::string>;

const char kLabelPrinter[] = "Zebra ZP450";
const char kOfficePrinter[] = "Office Laser";
const char kPrintDialogFailed[] = "PrintDlg failed!";
constexpr auto kRunBound = std::chrono::seconds(10);

// Calls the sweep never fails, with the reason. Releases are spared because, on a handle
// the job really holds, the system's only failure is "invalid handle", which the substitute
// models by keeping the object open: a scripted one would show a leak that no program could
// avoid. A job that passes a wrong handle is caught by the leak check of every run instead.
struct Spared {
    Lines calls;
    const char* why;
};
const Spared kSpared[] = {
    {{"GetLastError", "SetLastError", "WSAGetLastError", "GetProcessHeap", "htons", "htonl"},
     "cannot fail"},
    {{"inet_addr"}, "a conversion: the address it gives, even INADDR_NONE, is used unexamined"},
    {{"Sleep"}, "cannot fail; runs on the virtual clock"},
    {{"SendMessageA"}, "carries the job's reports to the test's own window"},
    {{"fopen", "fprintf", "fclose"}, "standard streams of the comm log, results unexamined"},
    {{"CloseHandle", "RegCloseKey", "HeapFree", "GlobalFree", "DeleteDC", "WSACleanup",
      "ClosePrinter"},
     "releases of what the job holds: the only failure is an invalid handle"},
};

// A promise that no program can keep when this call fails: the run is made and every other
// promise checked. Only the call's last occurrence in the recorded run is meant.
struct Waiver {
    const char* call;
    const char* promise; // how the broken promise's line begins
    const char* why;
};
const Waiver kWaivers[] = {
    {"SetDefaultPrinterA", "default printer is",
     "the restore of the user's default printer: refused, nothing else can give it back"},
};

void ApplyWaivers(const std::string& call, bool lastOccurrence, Lines* broken) {
    for (const Waiver& waiver : kWaivers) {
        if (call != waiver.call || !lastOccurrence) {
            continue;
        }
        std::erase_if(*broken, [&waiver](const std::string& line) {
            return line.rfind(waiver.promise, 0) == 0;
        });
    }
}

bool IsSpared(const std::string& call) {
    for (const Spared& spared : kSpared) {
        if (std::find(spared.calls.begin(), spared.calls.end(), call) != spared.calls.end()) {
            return true;
        }
    }
    return false;
}

// The failures each call is swept with: the ones the system gives in this situation.
const std::map<std::string, std::vector<DWORD>> kErrors = {
    // The input still being written, or gone (which runs the cache-folder fallback); the
    // port busy or absent.
    {"CreateFileA", {ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND}},
    {"ReadFile", {ERROR_READ_FAULT}},
    {"WriteFile", {ERROR_GEN_FAILURE}},
    {"GetFileSize", {ERROR_GEN_FAILURE}},
    {"DeleteFileA", {ERROR_SHARING_VIOLATION}},
    {"GetCommState", {ERROR_GEN_FAILURE}},
    {"SetCommState", {ERROR_GEN_FAILURE}},
    {"LoadStringA", {ERROR_RESOURCE_NAME_NOT_FOUND}},
    {"RegOpenKeyExA", {ERROR_ACCESS_DENIED}},
    {"RegQueryValueExA", {ERROR_ACCESS_DENIED}},
    {"HeapAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
    {"CreateMutexA", {ERROR_ACCESS_DENIED}},
    {"WaitForSingleObject", {ERROR_INVALID_HANDLE}},
    {"ReleaseMutex", {ERROR_NOT_OWNER}},
    {"WSAStartup", {WSASYSNOTREADY}},
    {"socket", {WSAEMFILE}},
    // A printer named on the command line whose host does not resolve.
    {"getaddrinfo", {WSAHOST_NOT_FOUND}},
    // "Address in use" takes the job's other way to a connection.
    {"bind", {WSAEACCES, WSAEADDRINUSE}},
    {"connect", {WSAECONNREFUSED, WSAEADDRINUSE}},
    {"send", {WSAECONNRESET}},
    // The two ends of the connection, read to tell a connection to itself.
    {"getsockname", {WSAENETDOWN}},
    {"getpeername", {WSAENOTCONN}},
    // The closing wait: the receive time-out refused, the printer gone, or quiet for the
    // whole time-out (which ends the wait as when the printer closes).
    {"setsockopt", {WSAENOBUFS}},
    {"shutdown", {WSAECONNRESET}},
    {"recv", {WSAECONNRESET, WSAETIMEDOUT}},
    // The status query's wait for the answer.
    {"select", {WSAENETDOWN}},
    {"GetCommTimeouts", {ERROR_GEN_FAILURE}},
    {"SetCommTimeouts", {ERROR_GEN_FAILURE}},
    {"closesocket", {WSAENETDOWN}},
    {"GetDefaultPrinterA", {ERROR_NOT_ENOUGH_MEMORY}},
    {"SetDefaultPrinterA", {ERROR_ACCESS_DENIED}},
    {"PrintDlgA", {CDERR_INITIALIZATION}},
    {"StartDocA", {ERROR_GEN_FAILURE}},
    {"StartPage", {ERROR_GEN_FAILURE}},
    {"TextOutA", {ERROR_GEN_FAILURE}},
    {"EndPage", {ERROR_GEN_FAILURE}},
    {"EndDoc", {ERROR_GEN_FAILURE}},
    {"AbortDoc", {ERROR_GEN_FAILURE}},
    // A queue that is not there or not ours; a spooler out of room or cancelling the job.
    {"OpenPrinterA", {ERROR_INVALID_PRINTER_NAME, ERROR_ACCESS_DENIED}},
    {"StartDocPrinterA", {ERROR_NOT_ENOUGH_MEMORY}},
    {"WritePrinter", {ERROR_PRINT_CANCELLED}},
    {"EndDocPrinter", {ERROR_DISK_FULL}},
    {"AbortPrinter", {ERROR_GEN_FAILURE}},
};

enum class Kind { SerialPort, ParallelPort, Network, Driver, RawQueue };

struct TransportCase {
    Kind kind;
    const char* name;
    bool checkStatus; // CheckStatus "1": the printer is asked "~HQES~HS" first, answers ready
    bool named;       // the printer is named on the command line; the settings are not read
};

const TransportCase kTransports[] = {
    {Kind::SerialPort, "serial port", false, false},
    {Kind::ParallelPort, "parallel port", false, false},
    {Kind::Network, "network", false, false},
    {Kind::Driver, "driver", false, false},
    {Kind::RawQueue, "raw queue", false, false},
    {Kind::SerialPort, "serial port asking the status", true, false},
    {Kind::Network, "network asking the status", true, false},
    {Kind::SerialPort, "serial port named on the command line", false, true},
    {Kind::Network, "network printer named on the command line", false, true},
};

// A ZPL printer's answer to "~HS" that reports nothing in the way.
const char kReadyAnswer[] = "\x02"
                            "030,0,0,1245,000,0,0,0,000,0,0,0\x03\r\n"
                            "\x02"
                            "001,0,0,0,1,2,6,0,00000000,1,000\x03\r\n"
                            "\x02"
                            "1234,0\x03\r\n";

// An EPL2 label of a few KB, more than one copy chunk and not a whole number of them, and
// what the driver's encoding makes of it: every line wrapped, the final P2 lowered to P1.
struct Label {
    std::string text;
    std::string encoded;
};

Label MakeLabel() {
    Label label;
    auto add = [&label](const std::string& line, const std::string& encodedLine) {
        label.text += line;
        label.encoded += "${" + encodedLine + "}$";
    };
    add("N\n", "N\n");
    add("q609\n", "q609\n");
    for (int i = 0; label.text.size() < 2600 || label.text.size() % kCopyChunkSize < 40; ++i) {
        std::string line = "A20," + std::to_string(20 + 30 * i) + ",0,3,1,1,N,\"Item " +
                           std::to_string(i) + " of the sweep label\"\n";
        add(line, line);
    }
    add("P2\n", "P1\n");
    return label;
}

// One failure injected into a run: the call's occurrence (counted from 0 among the calls
// of that name) and the error it fails with.
struct Injection {
    std::string call;
    int occurrence;
    DWORD error;
};

std::string Describe(const Injection& injection) {
    return injection.call + " #" + std::to_string(injection.occurrence) + " (error " +
           std::to_string(injection.error) + ")";
}

// What one run left behind, gathered before the next Reset.
struct RunOutcome {
    bool finished = false;
    DWORD returned = 0;
    std::vector<substitute::RecordedMessage> reports;
    bool inputKept = false;
    bool accepted = false; // the printer took every byte of the label
    Lines openHandles;
    std::string defaultPrinter;
    int stalledDialogs = 0;
    Lines messageBoxes; // texts
    Lines failurePoints;
};

// The promises every run must keep; one line per promise broken.
Lines BrokenPromises(const RunOutcome& run) {
    if (!run.finished) {
        return {"the job did not end within its bound"};
    }
    Lines broken;
    int done = 0;
    LPARAM result = -1;
    bool reportAfterDone = false;
    for (const substitute::RecordedMessage& report : run.reports) {
        if (done > 0) {
            reportAfterDone = true;
        }
        if (report.message == WM_JOB_DONE) {
            ++done;
            result = report.lParam;
        }
    }
    if (done != 1) {
        broken.push_back(std::to_string(done) + " WM_JOB_DONE instead of one");
    }
    if (reportAfterDone) {
        broken.push_back("a report after WM_JOB_DONE");
    }
    if (done == 1 && static_cast<LPARAM>(run.returned) != result) {
        broken.push_back("thread returned " + std::to_string(run.returned) + " but reported " +
                         std::to_string(result));
    }
    bool succeeded = done == 1 && result == static_cast<LPARAM>(JobResult::Done);
    if (!run.inputKept && !run.accepted) {
        broken.push_back("input deleted although the printer did not take every byte");
    }
    if (!run.inputKept && !succeeded) {
        broken.push_back("input deleted although the job did not report success");
    }
    if (succeeded && !run.accepted) {
        broken.push_back("success reported although the printer did not take every byte");
    }
    bool shown = done == 1 && result == static_cast<LPARAM>(JobResult::FailureAlreadyShown);
    Lines expectedBoxes = shown ? Lines{kPrintDialogFailed} : Lines{};
    if (run.messageBoxes != expectedBoxes) {
        broken.push_back(std::to_string(run.messageBoxes.size()) + " message boxes with " +
                         (shown ? "a failure said to be shown" : "no failure said to be shown"));
    }
    if (!run.openHandles.empty()) {
        std::string open;
        for (const std::string& label : run.openHandles) {
            open += (open.empty() ? "" : ", ") + label;
        }
        broken.push_back("left open: " + open);
    }
    if (run.defaultPrinter != kOfficePrinter) {
        broken.push_back("default printer is \"" + run.defaultPrinter + "\"");
    }
    if (run.stalledDialogs != 0) {
        broken.push_back("a dialog stalled");
    }
    return broken;
}

// Everything the job shares with its thread; owned jointly, so that a run that never ends
// can be left behind without pulling its state away.
struct RunState {
    jobtest::PathBuffer path;
    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
    DWORD returned = 0;
    explicit RunState(const std::string& input) : path(input) {}
};

class FaultSweepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        label = MakeLabel();
        input = folder / "label.epl";
        device = folder / "printer.out";
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        substitute::Reset();
        g_progressWindow = nullptr;
        g_jobOptions = JobOptions{};
    }

    // A fresh substitute layer, settings and input for one job of this kind.
    void Prepare(Kind kind, bool checkStatus, bool named) {
        substitute::Reset();
        g_jobOptions = JobOptions{};
        substitute::UseVirtualClock(true);
        // An Escape of an earlier test has let no driver job swap the default since.
        AllowDefaultPrinterSwap();
        jobtest::WriteBytes(input, label.text);
        std::filesystem::remove(device);
        // A missing input looks for itself in the browser cache folder, which exists.
        substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", folder / "cache");
        jobtest::SetSetting("Delay", "5");
        // Two tries, so that a failed open is retried; the parallel job has one, so that a
        // failed open ends it.
        jobtest::SetSetting("Attempts", kind == Kind::ParallelPort ? "1" : "2");
        jobtest::SetSetting("BaudorIPAddress", "9600");
        jobtest::SetSetting("DataBits", "8");
        jobtest::SetSetting("Parity", "none");
        jobtest::SetSetting("StopBits", "1");
        substitute::InstallPrinter(kOfficePrinter, "LPT2:");
        substitute::InstallPrinter(kLabelPrinter, "USB001");
        substitute::SetDefaultPrinterName(kOfficePrinter);
        substitute::SetGdiFailureResult(gdiFailureResult);
        switch (kind) {
        case Kind::SerialPort:
            jobtest::SetSetting("PrinterType", "Serial");
            jobtest::SetSetting("Port", "COM1");
            substitute::MapCommDevice("COM1", device);
            break;
        case Kind::ParallelPort:
            jobtest::SetSetting("PrinterType", "Parallel");
            jobtest::SetSetting("Port", "LPT1");
            substitute::MapDevice("LPT1", device);
            break;
        case Kind::Network:
            jobtest::SetSetting("PrinterType", "TCP/IP");
            jobtest::SetSetting("Port", "9100");
            jobtest::SetSetting("BaudorIPAddress", "192.0.2.10");
            listenerPort = substitute::StartLoopbackListener();
            substitute::RedirectConnections(listenerPort);
            // The local end asks for the printer's port, which this host may be using.
            substitute::RedirectBindPort(9100, 0);
            break;
        case Kind::Driver:
            jobtest::SetSetting("PrinterType", "USB");
            jobtest::SetSetting("Port", kLabelPrinter);
            break;
        case Kind::RawQueue:
            jobtest::SetSetting("PrinterType", "Printer (RAW)");
            jobtest::SetSetting("Port", kLabelPrinter);
            break;
        }
        if (checkStatus) {
            jobtest::SetSetting("CheckStatus", "1");
            // The serial printer is a plain file: the query finds it silent.
            substitute::AnswerHostStatus(kReadyAnswer);
        }
        if (named) {
            // The same printer and values as the stored settings give, from the command line;
            // a port named there must exist.
            if (kind == Kind::SerialPort) {
                jobtest::WriteBytes(device, "");
            }
            PrinterTarget& target = g_jobOptions.target;
            target.kind = kind == Kind::Network ? TargetKind::Socket : TargetKind::Serial;
            std::snprintf(target.host, sizeof target.host, "127.0.0.1");
            target.port = listenerPort;
            std::snprintf(target.name, sizeof target.name, "COM1");
            target.baudRate = 9600;
            target.dataBits = 8;
            target.parity = NOPARITY;
            target.stopBits = ONESTOPBIT;
            g_jobOptions.delay = {true, 5};
            g_jobOptions.attempts = {true, 2};
        }
    }

    // The printer took the whole label: the device file, the one connection or the one
    // document ended by the spooler holds it exactly.
    // Asked for its status first, it has the query before the label; a run in which the
    // setting or the port's time-outs could not be read asks nothing and sends the label.
    bool Accepted(Kind kind, bool checkStatus, bool mustHaveArrived) {
        auto whole = [this, checkStatus](const std::string& bytes) {
            return bytes == label.text || (checkStatus && bytes == kStatusQueries + label.text);
        };
        switch (kind) {
        case Kind::SerialPort:
        case Kind::ParallelPort:
            return jobtest::Exists(device) && whole(jobtest::ReadBytes(device));
        case Kind::Network: {
            // The listener keeps a connection once its sender has closed it.
            if (mustHaveArrived) {
                substitute::WaitForReceivedConnections(1, std::chrono::seconds(5));
            }
            std::vector<substitute::ReceivedConnection> received =
                substitute::ReceivedConnections();
            return received.size() == 1 && whole(received[0].bytes);
        }
        case Kind::Driver: {
            std::string printed;
            int ended = 0;
            for (const substitute::PrintedDocument& document : substitute::PrintedDocuments()) {
                if (document.state != substitute::DocumentState::Ended) {
                    continue;
                }
                ++ended;
                for (const substitute::PrintedPage& page : document.pages) {
                    if (!page.ended) {
                        return false;
                    }
                    for (const substitute::DrawnText& text : page.texts) {
                        printed += text.text;
                    }
                }
            }
            return ended == 1 && printed == label.encoded;
        }
        case Kind::RawQueue: {
            // One document ended by the spooler, holding the label's bytes as they are.
            int ended = 0;
            bool exact = false;
            for (const substitute::PrintedDocument& document : substitute::PrintedDocuments()) {
                if (document.state == substitute::DocumentState::Ended) {
                    ++ended;
                    exact = document.bytes == label.text;
                }
            }
            return ended == 1 && exact;
        }
        }
        return false;
    }

    RunOutcome Run(const TransportCase& transport, const Injection* injection) {
        Kind kind = transport.kind;
        Prepare(kind, transport.checkStatus, transport.named);
        HWND window = substitute::CreateRecordingWindow();
        g_progressWindow = window;
        if (injection != nullptr) {
            substitute::FailNext(injection->call, injection->error, 1, injection->occurrence);
        }
        auto state = std::make_shared<RunState>(input);
        substitute::RecordFailurePoints(true);
        std::thread worker([state] {
            DWORD returned = JobWorker(state->path.text);
            std::lock_guard<std::mutex> guard(state->lock);
            state->returned = returned;
            state->finished = true;
            state->ended.notify_all();
        });
        RunOutcome run;
        {
            std::unique_lock<std::mutex> guard(state->lock);
            run.finished = state->ended.wait_for(guard, kRunBound, [&] { return state->finished; });
            run.returned = state->returned;
        }
        if (run.finished) {
            worker.join();
        } else {
            worker.detach();
        }
        substitute::RecordFailurePoints(false);
        run.failurePoints = substitute::FailurePoints();
        run.reports = substitute::RecordedMessages(window);
        run.inputKept = jobtest::Exists(input);
        bool reportedDone = false;
        for (const substitute::RecordedMessage& report : run.reports) {
            reportedDone = reportedDone || (report.message == WM_JOB_DONE && report.lParam == 0);
        }
        run.accepted = Accepted(kind, transport.checkStatus, reportedDone || !run.inputKept);
        run.openHandles = substitute::OpenHandles();
        run.defaultPrinter = substitute::DefaultPrinter();
        run.stalledDialogs = substitute::StalledDialogs();
        for (const substitute::MessageBoxRecord& box : substitute::MessageBoxes()) {
            run.messageBoxes.push_back(box.text);
        }
        g_progressWindow = nullptr;
        substitute::DestroyTestWindow(window);
        return run;
    }

    jobtest::ScratchFolder folder;
    Label label;
    std::string input;
    std::string device;
    unsigned short listenerPort = 0;
    int gdiFailureResult = SP_ERROR; // what a failing StartDocA, EndPage ... returns
};

// Every point of the recorded run, each with each of its call's errors.
std::vector<Injection> InjectionsFor(const Lines& points, Lines* unknownCalls) {
    std::vector<Injection> injections;
    std::map<std::string, int> seen;
    for (const std::string& call : points) {
        int occurrence = seen[call]++;
        if (IsSpared(call)) {
            continue;
        }
        auto errors = kErrors.find(call);
        if (errors == kErrors.end()) {
            if (occurrence == 0) {
                unknownCalls->push_back(call);
            }
            continue;
        }
        for (DWORD error : errors->second) {
            injections.push_back({call, occurrence, error});
        }
    }
    return injections;
}

int Occurrences(const Lines& points, const std::string& call) {
    return static_cast<int>(std::count(points.begin(), points.end(), call));
}

TEST_F(FaultSweepTest, EveryFailingCallStillKeepsTheJobsPromises) {
    ASSERT_GT(label.text.size(), 4 * kCopyChunkSize);
    ASSERT_NE(label.text.size() % kCopyChunkSize, 0u);
    const int chunks = static_cast<int>((label.text.size() + kCopyChunkSize - 1) / kCopyChunkSize);

    int totalPoints = 0;
    int totalRuns = 0;
    int totalFailures = 0;
    for (const TransportCase& transport : kTransports) {
        SCOPED_TRACE(transport.name);
        RunOutcome recorded = Run(transport, nullptr);
        // The recorded run is the job as it should go: anything else makes the sweep moot.
        ASSERT_EQ(BrokenPromises(recorded), Lines{});
        ASSERT_TRUE(recorded.accepted);
        ASSERT_FALSE(recorded.inputKept);
        bool copies = transport.kind != Kind::Driver;
        // Every chunk read, plus the read that finds the end, plus a serial status answer's.
        bool readsAnswer = transport.checkStatus && transport.kind == Kind::SerialPort;
        ASSERT_EQ(Occurrences(recorded.failurePoints, "ReadFile"),
                  (copies ? chunks + 1 : 1) + (readsAnswer ? 1 : 0));

        Lines unknownCalls;
        std::vector<Injection> injections = InjectionsFor(recorded.failurePoints, &unknownCalls);
        for (const std::string& call : unknownCalls) {
            ADD_FAILURE() << transport.name << ": " << call
                          << " can fail but has no error to sweep with, nor a reason to be spared";
        }

        int failures = 0;
        std::map<DWORD, int> results; // how the failing runs ended
        for (const Injection& injection : injections) {
            RunOutcome run = Run(transport, &injection);
            Lines broken = BrokenPromises(run);
            // A run that never reaches its point differs from the recorded one before it.
            if (run.finished &&
                Occurrences(run.failurePoints, injection.call) <= injection.occurrence) {
                broken.push_back("the injected call was never made");
            }
            ApplyWaivers(injection.call,
                         injection.occurrence ==
                             Occurrences(recorded.failurePoints, injection.call) - 1,
                         &broken);
            if (!run.finished) {
                // Its thread is left behind; nothing more can be trusted in this process.
                ADD_FAILURE() << transport.name << ": " << Describe(injection)
                              << ": the job did not end within its bound";
                return;
            }
            if (!broken.empty()) {
                ++failures;
            }
            ++results[run.returned];
            for (const std::string& promise : broken) {
                ADD_FAILURE() << transport.name << ": " << Describe(injection) << ": " << promise;
            }
        }
        // Nothing a failed run left behind (an abandoned mutex, a log, a device file) stops
        // the next job.
        RunOutcome after = Run(transport, nullptr);
        EXPECT_EQ(BrokenPromises(after), Lines{}) << "a clean job after the sweep";
        EXPECT_TRUE(after.accepted && !after.inputKept) << "a clean job after the sweep";

        // A point is one call of the recorded run; some are failed with more than one error.
        std::set<std::pair<std::string, int>> points;
        for (const Injection& injection : injections) {
            points.insert({injection.call, injection.occurrence});
        }
        std::cout << "fault sweep: " << transport.name << ": " << points.size()
                  << " injection points tried (" << injections.size() << " failing runs), "
                  << failures << " failures; job results";
        for (const auto& [result, count] : results) {
            std::cout << " " << result << ":" << count;
        }
        std::cout << "\n";
        totalPoints += static_cast<int>(points.size());
        totalRuns += static_cast<int>(injections.size());
        totalFailures += failures;
    }
    std::cout << "fault sweep: all transports: " << totalPoints << " injection points tried ("
              << totalRuns << " failing runs), " << totalFailures << " failures\n";
    for (const Spared& spared : kSpared) {
        std::string calls;
        for (const std::string& call : spared.calls) {
            calls += (calls.empty() ? "" : ", ") + call;
        }
        std::cout << "fault sweep: never failed: " << calls << ": " << spared.why << "\n";
    }
    for (const Waiver& waiver : kWaivers) {
        std::cout << "fault sweep: \"" << waiver.promise << "\" not checked when the last "
                  << waiver.call << " fails: " << waiver.why << "\n";
    }
    EXPECT_EQ(totalFailures, 0);
}

// Driver failures the sweep found: a page or document the spooler refused, and a default
// printer that cannot be read, each end the job with the input kept and the user's default
// printer untouched.
TEST_F(FaultSweepTest, DriverJobKeepsTheInputWhenTheSpoolerRefusesTheLabel) {
    struct Case {
        Injection injection;
        int gdiResult;
        JobResult result;
        bool printed; // a document was started (and then abandoned)
    };
    const Case cases[] = {
        {{"EndPage", 0, ERROR_GEN_FAILURE}, SP_ERROR, JobResult::PortWriteError, true},
        {{"EndPage", 0, ERROR_GEN_FAILURE}, 0, JobResult::PortWriteError, true},
        {{"EndDoc", 0, ERROR_DISK_FULL}, SP_ERROR, JobResult::PortWriteError, true},
        {{"EndDoc", 0, ERROR_DISK_FULL}, 0, JobResult::PortWriteError, true},
        {{"GetDefaultPrinterA", 0, ERROR_NOT_ENOUGH_MEMORY},
         SP_ERROR,
         JobResult::PortOpenError,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.injection) + " returning " + std::to_string(c.gdiResult));
        gdiFailureResult = c.gdiResult;
        RunOutcome run = Run(TransportCase{Kind::Driver, "driver", false, false}, &c.injection);
        EXPECT_EQ(BrokenPromises(run), Lines{});
        EXPECT_EQ(run.returned, static_cast<DWORD>(c.result));
        ASSERT_FALSE(run.reports.empty());
        EXPECT_EQ(run.reports.back().wParam, c.injection.error);
        ASSERT_TRUE(run.inputKept);
        EXPECT_EQ(jobtest::ReadBytes(input), label.text);
        std::vector<substitute::PrintedDocument> documents = substitute::PrintedDocuments();
        ASSERT_EQ(documents.size(), c.printed ? 1u : 0u);
        if (c.printed) {
            EXPECT_EQ(documents[0].state, substitute::DocumentState::Aborted);
            EXPECT_EQ(jobtest::CallsStartingWith({"SetDefaultPrinterA"}),
                      (Lines{"SetDefaultPrinterA \"Zebra ZP450\"",
                             "SetDefaultPrinterA \"Office Laser\""}));
        } else {
            // Nothing is swapped that could not be given back.
            EXPECT_EQ(jobtest::CallsStartingWith({"SetDefaultPrinterA", "PrintDlgA"}), Lines{});
        }
    }
}

// The checks of the sweep, fed runs that break one promise each.
TEST_F(FaultSweepTest, EachBrokenPromiseIsNamed) {
    RunOutcome good;
    good.finished = true;
    good.returned = 0;
    good.reports = {{WM_JOB_STATUS, 120, 0}, {WM_JOB_DONE, 0, 0}};
    good.inputKept = false;
    good.accepted = true;
    good.defaultPrinter = kOfficePrinter;
    ASSERT_EQ(BrokenPromises(good), Lines{});

    RunOutcome failed = good;
    failed.returned = 6;
    failed.reports = {{WM_JOB_DONE, ERROR_GEN_FAILURE, 6}};
    failed.inputKept = true;
    failed.accepted = false;
    ASSERT_EQ(BrokenPromises(failed), Lines{});

    RunOutcome shown = failed;
    shown.returned = 10;
    shown.reports = {{WM_JOB_DONE, CDERR_INITIALIZATION, 10}};
    shown.messageBoxes = {kPrintDialogFailed};
    ASSERT_EQ(BrokenPromises(shown), Lines{});

    struct Case {
        const char* name;
        RunOutcome run;
        std::string promise;
    };
    std::vector<Case> cases;
    auto with = [&cases](const char* name, RunOutcome run, const std::string& promise) {
        cases.push_back({name, std::move(run), promise});
    };
    RunOutcome run = good;
    run.finished = false;
    with("never ended", run, "the job did not end within its bound");
    run = failed;
    run.reports.push_back({WM_JOB_DONE, 0, 6});
    with("two reports of the end", run, "2 WM_JOB_DONE instead of one");
    run = failed;
    run.reports.clear();
    with("no report of the end", run, "0 WM_JOB_DONE instead of one");
    run = failed;
    run.reports.push_back({WM_JOB_ADVANCE, 0, 0});
    with("report after the end", run, "a report after WM_JOB_DONE");
    run = failed;
    run.returned = 2;
    with("returns another result", run, "thread returned 2 but reported 6");
    run = failed;
    run.inputKept = false;
    with("failed job deleted the input", run,
         "input deleted although the printer did not take every byte");
    run = good;
    run.accepted = false;
    with("done without the bytes", run,
         "success reported although the printer did not take every byte");
    run = failed;
    run.accepted = true;
    run.inputKept = false;
    with("failure deleting a delivered input", run,
         "input deleted although the job did not report success");
    run = failed;
    run.messageBoxes = {kPrintDialogFailed};
    with("box without the shown result", run, "1 message boxes with no failure said to be shown");
    run = shown;
    run.messageBoxes.clear();
    with("shown result without a box", run, "0 message boxes with a failure said to be shown");
    run = failed;
    run.openHandles = {"key:Software\\Velmora Software\\Tagwright\\1.0", "heap:512"};
    with("leak", run, "left open: key:Software\\Velmora Software\\Tagwright\\1.0, heap:512");
    run = failed;
    run.defaultPrinter = kLabelPrinter;
    with("default printer not given back", run, "default printer is \"Zebra ZP450\"");
    run = failed;
    run.stalledDialogs = 1;
    with("stalled dialog", run, "a dialog stalled");

    for (const Case& c : cases) {
        Lines broken = BrokenPromises(c.run);
        EXPECT_NE(std::find(broken.begin(), broken.end(), c.promise), broken.end())
            << c.name << ": " << ::testing::PrintToString(broken);
    }
}

TEST_F(FaultSweepTest, FailurePointsAreRecordedInOrderOnlyWhileAskedAndResetForgetsThem) {
    HANDLE ignored =
        CreateFileA("missing-file", FILE_READ_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(ignored, INVALID_HANDLE_VALUE);
    EXPECT_EQ(substitute::FailurePoints(), Lines{});

    substitute::RecordFailurePoints(true);
    CreateFileA("missing-file", FILE_READ_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    void* block = HeapAlloc(GetProcessHeap(), 0, 16);
    ASSERT_NE(block, nullptr);
    // The point recorded is the one FailNext fails: the second HeapFree here.
    substitute::FailNext("HeapFree", ERROR_INVALID_PARAMETER, 1, 1);
    void* other = HeapAlloc(GetProcessHeap(), 0, 8);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, other));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(substitute::OpenHandles(), Lines{"heap:16"});
    substitute::RecordFailurePoints(false);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_EQ(substitute::FailurePoints(),
              (Lines{"CreateFileA", "HeapAlloc", "HeapAlloc", "HeapFree", "HeapFree"}));

    substitute::RecordFailurePoints(true);
    substitute::Reset();
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 4));
    EXPECT_EQ(substitute::FailurePoints(), Lines{});
}

// The releases the sweep spares still honour a scripted failure as an invalid handle or
// block does: failed, with the error, and the object kept.
TEST_F(FaultSweepTest, SparedReleasesFailAsForAHandleTheCallerDoesNotHold) {
    std::string path = folder / "kept.txt";
    jobtest::WriteBytes(path, "x");
    HANDLE file = CreateFileA(path.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    substitute::FailNext("CloseHandle", ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(substitute::OpenHandles(), Lines{"file:" + path});
    EXPECT_TRUE(CloseHandle(file));

    auto memory = static_cast<HGLOBAL>(HeapAlloc(GetProcessHeap(), 0, 32));
    substitute::FailNext("GlobalFree", ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GlobalFree(memory), memory);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(substitute::OpenHandles(), Lines{"heap:32"});
    EXPECT_EQ(GlobalFree(memory), nullptr);
    EXPECT_EQ(substitute::OpenHandles(), Lines{});
    EXPECT_EQ(jobtest::CallsStartingWith({"CloseHandle", "GlobalFree", "HeapFree"}),
              (Lines{"CloseHandle failed", "CloseHandle file:" + path, "GlobalFree failed",
                     "HeapFree 32"}));
}

} // namespace
