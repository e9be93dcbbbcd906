// A printer named on the command line: the worker leaves the stored settings alone and each
// transport goes where the target says; the delay, attempts and time-out given for the job
// against the stored ones and the defaults; host names, IPv6 and names that do not resolve;
// and the device URI that names the printer in the job's outcome.
#include "core/job_request.h"
#include "platform/testing.h"
#include "transport/driver_transport.h"
#include "transport/job_target.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using jobtest::PathBuffer;
using Lines = std::vector<std::string>;

const char kLabelPrinter[] = "Zebra ZP 450";
const char kOfficePrinter[] = "Office Laser";
const char kStoredAddress[] = "192.168.1.50";

PrinterTarget Target(TargetKind kind, const std::string& text) {
    PrinterTarget target{};
    target.kind = kind;
    if (kind == TargetKind::Socket) {
        std::snprintf(target.host, sizeof target.host, "%s", text.c_str());
        target.port = 9100;
    } else {
        std::snprintf(target.name, sizeof target.name, "%s", text.c_str());
    }
    if (kind == TargetKind::Serial) {
        target.baudRate = 9600;
        target.dataBits = 8;
        target.parity = NOPARITY;
        target.stopBits = ONESTOPBIT;
    }
    return target;
}

int Count(const Lines& lines, const std::string& wanted) {
    int count = 0;
    for (const std::string& line : lines) {
        count += line == wanted ? 1 : 0;
    }
    return count;
}

class JobTargetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_jobOptions = JobOptions{};
        g_jobOutcome = JobOutcome{};
        window = jobtest::StartJobTest();
        input = folder / "label.zpl";
        device = folder / "device.out";
        storedDevice = folder / "stored.out";
        substitute::MapCommDevice("COM1", device);
        substitute::MapDevice("LPT1", device);
        substitute::MapCommDevice("COM9", storedDevice);
        substitute::InstallPrinter(kOfficePrinter, "LPT2:");
        substitute::InstallPrinter(kLabelPrinter, "USB001");
        substitute::SetDefaultPrinterName(kOfficePrinter);
        // Complete stored settings naming another printer, which no job here may use.
        jobtest::SetPortSettings("Serial", "COM9");
        jobtest::SetSetting("CheckStatus", "1");
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
        g_jobOptions = JobOptions{};
        g_jobOutcome = JobOutcome{};
        // Stops what the job left running (the loopback listener) before the process ends.
        substitute::Reset();
    }

    JobResult Run(const std::string& content) {
        jobtest::WriteBytes(input, content);
        PathBuffer path(input);
        substitute::ClearCallLog();
        return static_cast<JobResult>(JobWorker(path.text));
    }

    static Lines RegistryCalls() {
        return jobtest::CallsStartingWith({"RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey"});
    }
    static Lines Reads() { return jobtest::CallsStartingWith({"RegQueryValueExA"}); }
    static std::string Outcome() { return g_jobOutcome.target; }

    // After a failure: the input is as it was, nothing is left open, one end was reported.
    void ExpectFailureKeptTheFile(const std::string& content) {
        EXPECT_TRUE(jobtest::Exists(input));
        EXPECT_EQ(jobtest::ReadBytes(input), content);
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "Report done "), 1);
    }

    // A fresh substitute layer for the next case of a table; the window stays.
    static void Restart() {
        substitute::Reset();
        substitute::UseVirtualClock(true);
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string input;
    std::string device;
    std::string storedDevice;
};

// Each kind of target: the settings key is never opened, the label goes where the target
// says, and the outcome names it.
TEST_F(JobTargetTest, TargetReplacesTheStoredSettingsForEveryKind) {
    unsigned short listenerPort = substitute::StartLoopbackListener();
    ASSERT_NE(listenerPort, 0);
    PrinterTarget serial = Target(TargetKind::Serial, "COM1");
    serial.baudRate = 19200;
    serial.dataBits = 7;
    serial.parity = EVENPARITY;
    serial.stopBits = TWOSTOPBITS;
    PrinterTarget socket = Target(TargetKind::Socket, "127.0.0.1");
    socket.port = listenerPort;
    const std::string port = std::to_string(listenerPort);
    struct Case {
        PrinterTarget target;
        JobTransport transport;
        std::string uri;
    };
    const Case cases[] = {
        {serial, JobTransport::SerialPort, "serial:COM1?baud=19200&bits=7&parity=even&stop=2"},
        {Target(TargetKind::Parallel, "LPT1"), JobTransport::ParallelPort, "parallel:LPT1"},
        {Target(TargetKind::Driver, kLabelPrinter), JobTransport::Driver,
         std::string("driver:") + kLabelPrinter},
        {Target(TargetKind::RawQueue, kLabelPrinter), JobTransport::RawQueue,
         std::string("raw:") + kLabelPrinter},
        {socket, JobTransport::Network, "socket://127.0.0.1:" + port},
    };
    const std::string label = "^XA^FO20,20^FDtarget^FS^XZ\n";
    std::size_t documents = 0;
    std::size_t connections = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uri);
        jobtest::WriteBytes(device, "");
        g_jobOutcome = JobOutcome{};
        g_jobOptions.target = c.target;
        ASSERT_EQ(Run(label), JobResult::Done);

        EXPECT_EQ(RegistryCalls(), Lines{});
        EXPECT_EQ(g_jobOutcome.transport, c.transport);
        EXPECT_EQ(Outcome(), c.uri);
        EXPECT_FALSE(jobtest::Exists(input));
        EXPECT_FALSE(jobtest::Exists(storedDevice));
        // No status query (CheckStatus is stored): a target has no stored settings to ask.
        EXPECT_EQ(jobtest::CallsStartingWith({"GetCommTimeouts"}), Lines{});
        switch (c.target.kind) {
        case TargetKind::Serial: {
            EXPECT_EQ(jobtest::ReadBytes(device), label);
            DCB dcb{};
            ASSERT_TRUE(substitute::LastSetCommState(&dcb));
            EXPECT_EQ(dcb.BaudRate, 19200u);
            EXPECT_EQ(dcb.ByteSize, 7);
            EXPECT_EQ(dcb.Parity, EVENPARITY);
            EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
            break;
        }
        case TargetKind::Parallel:
            EXPECT_EQ(jobtest::ReadBytes(device), label);
            EXPECT_EQ(jobtest::CallsStartingWith({"SetCommState"}), Lines{});
            break;
        case TargetKind::Driver:
        case TargetKind::RawQueue: {
            auto printed = substitute::PrintedDocuments();
            ASSERT_EQ(printed.size(), ++documents);
            EXPECT_EQ(printed.back().printer, kLabelPrinter);
            EXPECT_EQ(printed.back().state, substitute::DocumentState::Ended);
            if (c.target.kind == TargetKind::RawQueue) {
                EXPECT_EQ(printed.back().bytes, label);
            }
            EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
            break;
        }
        case TargetKind::Socket: {
            ASSERT_TRUE(substitute::WaitForReceivedConnections(++connections));
            EXPECT_EQ(substitute::ReceivedConnections().back().bytes, label);
            // The system picks the local end: no bind to the printer's port.
            EXPECT_EQ(jobtest::CallsStartingWith({"getaddrinfo", "bind", "connect"}),
                      (Lines{"getaddrinfo 127.0.0.1 " + port, "connect 127.0.0.1:" + port}));
            break;
        }
        case TargetKind::Stored:
        case TargetKind::Named:
            break;
        }
    }
}

// The delay, attempts and time-out a job runs with: given on the command line, else stored,
// else the default; a quiet job without a limit gets 60 s. Seen through a network job: the
// pauses after each chunk, the wait of its connect, and its socket tries when every one fails.
TEST_F(JobTargetTest, GivenValuesReplaceStoredOnesAndDefaults) {
    struct Case {
        const char* name;
        bool target;
        const char* storedDelay; // nullptr: not stored
        const char* storedAttempts;
        const char* storedTimeout;
        JobOverride delay;
        JobOverride attempts;
        JobOverride timeout;
        bool quiet;
        int expectedDelay;
        int expectedAttempts;
        int expectedWait; // milliseconds of the connect's wait, 0: a blocking connect
    };
    const Case cases[] = {
        {"stored", false, "7", "2", "4", {}, {}, {}, false, 7, 2, 4000},
        {"all given", false, "7", "2", "4", {true, 3}, {true, 4}, {true, 9}, false, 3, 4, 9000},
        {"given delay, nothing stored",
         false,
         nullptr,
         nullptr,
         nullptr,
         {true, 5},
         {},
         {},
         false,
         5,
         3,
         0},
        {"given zero time-out over a stored one",
         false,
         "0",
         "1",
         "4",
         {},
         {},
         {true, 0},
         false,
         0,
         1,
         0},
        {"quiet, no time-out stored", false, "0", "1", nullptr, {}, {}, {}, true, 0, 1, 60000},
        {"quiet, stored time-out 0", false, "0", "1", "0", {}, {}, {}, true, 0, 1, 60000},
        {"quiet, stored time-out", false, "0", "1", "5", {}, {}, {}, true, 0, 1, 5000},
        {"quiet, given time-out 0", false, "0", "1", nullptr, {}, {}, {true, 0}, true, 0, 1, 0},
        {"target", true, "7", "2", "4", {}, {}, {}, false, 0, 3, 0},
        {"target, all given",
         true,
         nullptr,
         nullptr,
         nullptr,
         {true, 2},
         {true, 1},
         {true, 8},
         false,
         2,
         1,
         8000},
        {"target, quiet", true, "7", "2", "4", {}, {}, {}, true, 0, 3, 60000},
    };
    const std::string label = jobtest::SampleBytes(600); // two chunks when paced
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int failingSockets = 0; failingSockets < 2; ++failingSockets) {
            Restart();
            unsigned short listenerPort = substitute::StartLoopbackListener();
            ASSERT_NE(listenerPort, 0);
            substitute::RedirectConnections(listenerPort);
            unsigned short printerPort = substitute::FreeLocalPort();
            jobtest::SetSetting("PrinterType", "TCP/IP");
            jobtest::SetSetting("Port", std::to_string(printerPort));
            jobtest::SetSetting("BaudorIPAddress", kStoredAddress);
            const std::pair<const char*, const char*> stored[] = {{"Delay", c.storedDelay},
                                                                  {"Attempts", c.storedAttempts},
                                                                  {"Timeout", c.storedTimeout}};
            for (const auto& [name, text] : stored) {
                if (text != nullptr) {
                    jobtest::SetSetting(name, text);
                }
            }
            g_jobOptions = JobOptions{};
            g_jobOptions.quiet = c.quiet;
            g_jobOptions.delay = c.delay;
            g_jobOptions.attempts = c.attempts;
            g_jobOptions.timeout = c.timeout;
            if (c.target) {
                // Stored, but not asked for: the target's printer is not queried.
                jobtest::SetSetting("CheckStatus", "1");
                g_jobOptions.target = Target(TargetKind::Socket, "127.0.0.1");
                g_jobOptions.target.port = listenerPort;
            }
            if (failingSockets == 1) {
                substitute::FailNext("socket", WSAEMFILE, 100);
                EXPECT_EQ(Run(label), JobResult::PortOpenError);
                EXPECT_EQ(Count(substitute::CallLog(), "socket"), c.expectedAttempts);
                Lines sleeps;
                for (DWORD pause : substitute::Sleeps()) {
                    sleeps.push_back(std::to_string(pause));
                }
                // The worker's one yield after opening the input, then the pauses between tries.
                Lines expected{"0"};
                expected.insert(expected.end(), static_cast<std::size_t>(c.expectedAttempts - 1),
                                "500");
                EXPECT_EQ(sleeps, expected);
                ExpectFailureKeptTheFile(label);
                continue;
            }
            ASSERT_EQ(Run(label), JobResult::Done);
            // Paced: one pause of Delay after each 512-byte chunk; else one block, one pause of 0.
            std::vector<DWORD> expectedSleeps{0};
            expectedSleeps.insert(expectedSleeps.end(), c.expectedDelay > 0 ? 2 : 1,
                                  static_cast<DWORD>(c.expectedDelay));
            EXPECT_EQ(substitute::Sleeps(), expectedSleeps);
            Lines waits = jobtest::CallsStartingWith({"select"});
            if (c.expectedWait == 0) {
                EXPECT_EQ(jobtest::CallsStartingWith({"ioctlsocket", "select"}), Lines{});
            } else {
                ASSERT_FALSE(waits.empty());
                EXPECT_EQ(waits.front(), "select " + std::to_string(c.expectedWait));
            }
            // A value given for the job is not read; with a target nothing is.
            Lines reads = Reads();
            EXPECT_EQ(Count(reads, "RegQueryValueExA Delay"), c.target || c.delay.given ? 0 : 1);
            EXPECT_EQ(Count(reads, "RegQueryValueExA Attempts"),
                      c.target || c.attempts.given ? 0 : 1);
            EXPECT_EQ(Count(reads, "RegQueryValueExA Timeout"),
                      c.target || c.timeout.given ? 0 : 1);
            if (c.target) {
                EXPECT_EQ(RegistryCalls(), Lines{});
            }
            ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
            // The label alone: no status query went before it.
            EXPECT_TRUE(substitute::ReceivedConnections()[0].bytes == label);
            EXPECT_EQ(substitute::OpenHandles(), Lines{});
        }
    }
}

// Host names and IPv6 literals are resolved; every address the printer has is tried.
TEST_F(JobTargetTest, HostNamesAndIpv6LiteralsReachThePrinter) {
    struct Case {
        const char* host;
        bool ipv6;
        const char* connected; // the connect's address, "[...]" for IPv6
    };
    // A zone goes to the resolver as it is: the interface index, as Windows takes it.
    const Case cases[] = {
        {"localhost", false, "127.0.0.1"}, {"::1", true, "[::1]"}, {"::1%1", true, "[::1]"}};
    const std::string label = "^XA^FDhost^FS^XZ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        unsigned short port =
            c.ipv6 ? substitute::StartLoopbackListener6() : substitute::StartLoopbackListener();
        if (port == 0 && c.ipv6) {
            GTEST_SKIP() << "this machine has no IPv6 loopback";
        }
        ASSERT_NE(port, 0);
        g_jobOptions.target = Target(TargetKind::Socket, c.host);
        g_jobOptions.target.port = port;
        ASSERT_EQ(Run(label), JobResult::Done);
        const std::string portText = std::to_string(port);
        Lines connects = jobtest::CallsStartingWith({"connect"});
        ASSERT_FALSE(connects.empty());
        // A name may give addresses that refuse before the one that answers.
        EXPECT_EQ(connects.back(), "connect " + std::string(c.connected) + ":" + portText);
        if (c.ipv6) {
            EXPECT_GT(Count(substitute::CallLog(), "socket AF_INET6"), 0);
        }
        ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
        EXPECT_EQ(substitute::ReceivedConnections()[0].bytes, label);
        EXPECT_EQ(jobtest::CallsStartingWith({"getaddrinfo"}),
                  Lines{"getaddrinfo " + std::string(c.host) + " " + portText});
        std::string written = std::string(c.host) == "::1%1" ? "[::1%251]" : c.connected;
        EXPECT_EQ(Outcome(), "socket://" + (c.ipv6 ? written : c.host) + ":" + portText);
        EXPECT_FALSE(jobtest::Exists(input));
        EXPECT_EQ(jobtest::CallsStartingWith({"freeaddrinfo"}), Lines{"freeaddrinfo"});
        substitute::StopLoopbackListener();
    }
}

// A host that cannot be reached ends as a connection failure with the system's own code,
// the file kept; a name that does not resolve is tried once, an address once per attempt.
TEST_F(JobTargetTest, UnreachableHostsEndAsConnectionFailures) {
    unsigned short closedPort = substitute::FreeLocalPort();
    ASSERT_NE(closedPort, 0);
    struct Case {
        const char* host;
        DWORD scripted;            // getaddrinfo fails with this, 0: the resolver answers
        std::vector<DWORD> errors; // any of these
        int sockets;               // with Attempts 2
        Lines releases;
        bool toItself = false; // a listener answers, but the connection names itself as its peer
    };
    const Lines releasedBeforeConnecting{"input", "WSACleanup", "ReleaseMutex", "CloseHandle mutex",
                                         "done"};
    // The first attempt's socket goes before the second one is made.
    const Lines releasedAfterConnecting{"closesocket", "input",        "closesocket",
                                        "WSACleanup",  "ReleaseMutex", "CloseHandle mutex",
                                        "done"};
    const Case cases[] = {
        // A resolver that cannot reach its server says "try again" instead.
        {"printer.invalid", 0, {WSAHOST_NOT_FOUND, WSATRY_AGAIN}, 0, releasedBeforeConnecting},
        {"printer.example", WSANO_RECOVERY, {WSANO_RECOVERY}, 0, releasedBeforeConnecting},
        {"127.0.0.1", 0, {WSAECONNREFUSED}, 2, releasedAfterConnecting},
        {"0.0.0.0", 0, {WSAECONNREFUSED}, 2, releasedAfterConnecting},
        {"::", 0, {WSAECONNREFUSED}, 2, releasedAfterConnecting},
        {"127.0.0.1", 0, {WSAECONNREFUSED}, 2, releasedAfterConnecting, true},
        {"::1", 0, {WSAECONNREFUSED}, 2, releasedAfterConnecting, true},
    };
    const std::string label = "^XA^FDkept^FS^XZ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        Restart();
        if (c.scripted != 0) {
            substitute::FailNext("getaddrinfo", c.scripted);
        }
        g_jobOptions.target = Target(TargetKind::Socket, c.host);
        g_jobOptions.target.port = closedPort;
        if (c.toItself) {
            bool ipv6 = std::string(c.host) == "::1";
            g_jobOptions.target.port =
                ipv6 ? substitute::StartLoopbackListener6() : substitute::StartLoopbackListener();
            if (g_jobOptions.target.port == 0 && ipv6) {
                continue; // no IPv6 loopback on this machine
            }
            ASSERT_NE(g_jobOptions.target.port, 0);
            substitute::ReportOwnNameAsPeer(true);
        }
        g_jobOptions.attempts = {true, 2};
        ASSERT_EQ(Run(label), JobResult::PortConfigError);
        Lines ends = jobtest::CallsStartingWith({"Report done"});
        ASSERT_EQ(ends.size(), 1u);
        bool known = false;
        for (DWORD error : c.errors) {
            known = known || ends[0] == "Report done " + std::to_string(error) + ",5";
        }
        EXPECT_TRUE(known) << ends[0];
        EXPECT_EQ(Count(substitute::CallLog(), "socket") +
                      Count(substitute::CallLog(), "socket AF_INET6"),
                  c.sockets);
        Lines releases;
        for (const std::string& line : jobtest::CallsStartingWith(
                 {"CloseHandle", "closesocket", "WSACleanup", "ReleaseMutex", "Report done"})) {
            std::string kept = line == "CloseHandle file:" + input       ? "input"
                               : line.rfind("CloseHandle mutex", 0) == 0 ? "CloseHandle mutex"
                               : line.rfind("ReleaseMutex", 0) == 0      ? "ReleaseMutex"
                               : line.rfind("Report done", 0) == 0       ? "done"
                                                                         : line;
            releases.push_back(kept);
        }
        EXPECT_EQ(releases, c.releases);
        std::string host = c.host;
        bool bracketed = host.find(':') != std::string::npos;
        EXPECT_EQ(Outcome(), "socket://" + (bracketed ? "[" + host + "]" : host) + ":" +
                                 std::to_string(g_jobOptions.target.port));
        ExpectFailureKeptTheFile(label);
    }
}

// The outcome names a stored printer from what the job read, as soon as it has read it.
TEST_F(JobTargetTest, OutcomeNamesTheStoredPrinter) {
    unsigned short listenerPort = substitute::StartLoopbackListener();
    ASSERT_NE(listenerPort, 0);
    unsigned short printerPort = substitute::FreeLocalPort();
    struct Case {
        const char* printerType;
        std::string port;
        JobResult result;
        JobTransport transport;
        std::string uri;
    };
    const Case cases[] = {
        {"Serial", "COM9", JobResult::Done, JobTransport::SerialPort,
         "serial:COM9?baud=9600&bits=8&parity=none&stop=1"},
        {"Parallel", "LPT1", JobResult::Done, JobTransport::ParallelPort, "parallel:LPT1"},
        {"USB", kLabelPrinter, JobResult::Done, JobTransport::Driver,
         std::string("driver:") + kLabelPrinter},
        {"Printer (RAW)", "No Such Queue", JobResult::QueueOpenError, JobTransport::RawQueue,
         "raw:No Such Queue"},
        {"TCP/IP", std::to_string(printerPort), JobResult::Done, JobTransport::Network,
         std::string("socket://") + kStoredAddress + ":" + std::to_string(printerPort)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.printerType);
        substitute::RedirectConnections(listenerPort);
        substitute::RedirectBindPort(printerPort, 0);
        jobtest::SetPortSettings(c.printerType, c.port);
        jobtest::SetSetting("BaudorIPAddress",
                            c.transport == JobTransport::Network ? kStoredAddress : "9600");
        jobtest::SetSetting("CheckStatus", "0");
        g_jobOutcome = JobOutcome{};
        EXPECT_EQ(Run("^XA^XZ"), c.result);
        EXPECT_EQ(g_jobOutcome.transport, c.transport);
        EXPECT_EQ(Outcome(), c.uri);
    }
}

// A stored serial printer is named before its line settings are read; the rest is
// FormatPrinterTarget's.
TEST_F(JobTargetTest, SerialPrinterWithoutLineSettingsIsNamedAlone) {
    PrinterTarget serial = Target(TargetKind::Serial, "COM3");
    PrinterTarget unknownLine = serial;
    unknownLine.baudRate = 0;
    struct Case {
        PrinterTarget target;
        std::size_t size;
        const char* uri;
    };
    const Case cases[] = {
        {unknownLine, kTextBufferSize, "serial:COM3"},
        {unknownLine, 8, "serial:"},
        {serial, kTextBufferSize, "serial:COM3?baud=9600&bits=8&parity=none&stop=1"},
        {PrinterTarget{}, kTextBufferSize, ""},
    };
    for (const Case& c : cases) {
        char text[kTextBufferSize];
        std::snprintf(text, sizeof text, "untouched");
        FormatTargetUri(&c.target, text, c.size);
        EXPECT_STREQ(text, c.uri);
    }
}

// A port named on the command line is opened in the device namespace and must exist: one
// that is not there fails to open, however often it is tried, and nothing is created.
TEST_F(JobTargetTest, PortTargetsOpenOnlyADeviceThatExists) {
    substitute::MapDevice("COM3", folder / "missing/ttyS3");
    struct Case {
        PrinterTarget target;
        JobResult result;
        int tries;
        const char* done;
    };
    const Case cases[] = {
        {Target(TargetKind::Serial, "COM1"), JobResult::Done, 1, "done 0,0"},
        {Target(TargetKind::Parallel, "LPT1"), JobResult::Done, 1, "done 0,0"},
        {Target(TargetKind::Serial, "COM10"), JobResult::PortOpenError, 3, "done 2,3"},
        {Target(TargetKind::Serial, "COM3"), JobResult::PortOpenError, 3, "done 2,3"},
        {Target(TargetKind::Parallel, "LPT2"), JobResult::PortOpenError, 3, "done 2,3"},
    };
    const std::string label = "^XA^FDport^FS^XZ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.name);
        g_jobOptions.target = c.target;
        g_jobOptions.attempts = {true, 3};
        jobtest::WriteBytes(device, "");
        EXPECT_EQ(Run(label), c.result);
        const std::string opened = std::string("CreateFileA \\\\.\\") + c.target.name;
        EXPECT_EQ(jobtest::CallsStartingWith({"CreateFileA \\"}), Lines(c.tries, opened));
        EXPECT_EQ(jobtest::Reports(window).back(), c.done);
        if (c.result != JobResult::Done) {
            ExpectFailureKeptTheFile(label);
        }
        for (const auto& entry : std::filesystem::directory_iterator(folder.path)) {
            std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "label.zpl" || name == "device.out") << name;
        }
    }
}

} // namespace
