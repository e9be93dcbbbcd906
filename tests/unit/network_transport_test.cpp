// The network transport: every exit with its report and releases in order, delivery byte
// for byte to a loopback listener, the port and address conversions, socket attempts,
// short sends, "address in use" and the mutex that serialises network jobs.
#include "platform/testing.h"
#include "resources/resource_ids.h"
#include "transport/job_worker.h"
#include "transport/network_transport.h"
#include "transport/printer_status.h"
#include "settings/setting_places.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char kSettingsKey[] = "Software\\Velmora Software\\Tagwright\\1.0";
const char kPrinterAddress[] = "192.168.1.50";
constexpr int kDelay = 250;

// The stand-in progress window writes each report into the call log.
std::string Report(UINT message, WPARAM wParam, LPARAM lParam) {
    return "Report " + jobtest::DescribeReport(message, wParam, lParam);
}
std::string Status(UINT id) {
    return Report(WM_JOB_STATUS, id, 0);
}
std::string Advance(DWORD count) {
    return Report(WM_JOB_ADVANCE, count, 0);
}
std::string Done(DWORD error, JobResult result) {
    return Report(WM_JOB_DONE, error, static_cast<LPARAM>(result));
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> LogEntries(const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    for (const std::string& entry : substitute::CallLog()) {
        for (const std::string& prefix : prefixes) {
            if (StartsWith(entry, prefix)) {
                kept.push_back(entry);
                break;
            }
        }
    }
    return kept;
}

std::vector<std::string> Reports() {
    return LogEntries({"Report "});
}

// What a job gives back, and its report of the end, in the order they happened.
const std::string kDonePrefix = "Report done ";

std::vector<std::string> Releases() {
    return LogEntries({"HeapFree", "CloseHandle", "RegCloseKey", "closesocket", "WSACleanup",
                       "ReleaseMutex", "DeleteFileA", kDonePrefix});
}

std::vector<std::string> Sends() {
    return LogEntries({"send "});
}

int Count(const std::vector<std::string>& entries, const std::string& wanted) {
    int count = 0;
    for (const std::string& entry : entries) {
        count += entry == wanted ? 1 : 0;
    }
    return count;
}

bool FileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::string Bytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return bytes;
}

// One job's hand-over: the input file written and opened, the settings key opened, the
// Port text in the value buffer.
struct JobSetup {
    char path[kPathBufferSize];
    char value[kTextBufferSize];
    SettingPlaces places;
    TransportJob job;
    JobResult result;
};

void Prepare(JobSetup* setup, HWND window, const std::string& path, const std::string& content,
             const std::string& portText, int attempts, bool openInput) {
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    std::snprintf(setup->path, sizeof setup->path, "%s", path.c_str());
    std::snprintf(setup->value, sizeof setup->value, "%s", portText.c_str());
    HANDLE input = INVALID_HANDLE_VALUE;
    if (openInput) {
        input = CreateFileA(setup->path, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    }
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key);
    setup->places = SettingPlaces{{nullptr, key, nullptr}};
    setup->job =
        TransportJob{window, setup->path, input, &setup->places, setup->value, kDelay, attempts};
    setup->result = static_cast<JobResult>(-1);
}

DWORD WINAPI RunPreparedJob(LPVOID parameter) {
    auto* setup = static_cast<JobSetup*>(parameter);
    setup->result = NetworkTransport(&setup->job);
    return static_cast<DWORD>(setup->result);
}

class NetworkTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        ASSERT_FALSE(folder.path.empty());
        directory = folder.path.string();
        inputPath = directory + "/label.zpl";
        Restart();
        ASSERT_NE(listenerPort, 0);
        ASSERT_NE(printerPort, 0);
    }

    // A fresh substitute layer with the printer's address stored and a listener standing in
    // for the printer: the program connects to kPrinterAddress, the connection reaches it.
    // The printer's port is a new free one each time: a job leaves the last one in TIME_WAIT.
    void Restart() {
        printerPort = substitute::FreeLocalPort();
        portText = std::to_string(printerPort);
        delay = kDelay;
        timeout = 0;
        substitute::Reset();
        substitute::UseVirtualClock(true);
        window = jobtest::CreateJournalWindow();
        substitute::CreateRegistryKey(kSettingsKey);
        substitute::SetRegistryString(kSettingsKey, "BaudorIPAddress", kPrinterAddress);
        listenerPort = substitute::StartLoopbackListener();
        substitute::RedirectConnections(listenerPort);
    }

    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        substitute::Reset();
    }

    // Runs one job on this thread; the call log then holds only the job's own calls.
    JobResult Run(const std::string& content, int attempts = 3, bool openInput = true) {
        Prepare(&setup, window, inputPath, content, portText, attempts, openInput);
        setup.job.delay = delay;
        setup.job.timeout = timeout;
        substitute::ClearCallLog();
        setup.result = NetworkTransport(&setup.job);
        return setup.result;
    }

    // After a failure: the file is where it was and nothing is left open.
    void ExpectFailedJobLeftNothing(const std::string& content) {
        EXPECT_TRUE(FileExists(inputPath));
        std::ifstream file(inputPath, std::ios::binary);
        std::stringstream kept;
        kept << file.rdbuf();
        EXPECT_EQ(kept.str(), content);
        EXPECT_TRUE(substitute::OpenHandles().empty())
            << ::testing::PrintToString(substitute::OpenHandles());
        EXPECT_EQ(LogEntries({kDonePrefix}).size(), 1u) << "exactly one WM_JOB_DONE";
    }

    std::string FileLabel() const { return "CloseHandle file:" + inputPath; }
    std::string KeyLabel() const { return std::string("RegCloseKey key:") + kSettingsKey; }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string directory;
    std::string inputPath;
    unsigned short listenerPort = 0;
    unsigned short printerPort = 0;
    std::string portText;
    int delay = kDelay;
    int timeout = 0; // seconds
    JobSetup setup{};
};

TEST_F(NetworkTransportTest, DeliversTheFileByteForByteThenDeletesIt) {
    const std::string content = Bytes(1500);
    ASSERT_EQ(Run(content), JobResult::Done);

    EXPECT_EQ(Reports(), (std::vector<std::string>{
                             Status(0), Advance(512), Advance(512), Advance(476), Advance(0),
                             Status(IDS_STATUS_COMPLETE), Done(0, JobResult::Done)}));
    EXPECT_EQ(Releases(), (std::vector<std::string>{
                              "closesocket", "WSACleanup", "HeapFree 512", FileLabel(),
                              "DeleteFileA " + inputPath, "ReleaseMutex mutex:ipMutex",
                              "CloseHandle mutex:ipMutex", Done(0, JobResult::Done), KeyLabel()}));
    // "Complete" comes after the socket is closed and before the chunk buffer is released.
    EXPECT_EQ(
        LogEntries({"WSACleanup", Status(IDS_STATUS_COMPLETE), "HeapFree"}),
        (std::vector<std::string>{"WSACleanup", Status(IDS_STATUS_COMPLETE), "HeapFree 512"}));
    EXPECT_FALSE(FileExists(inputPath));
    EXPECT_TRUE(substitute::OpenHandles().empty());

    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    auto received = substitute::ReceivedConnections();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received[0].bytes == content) << "received " << received[0].bytes.size();
    EXPECT_EQ(received[0].peerPort, printerPort); // the local end took the printer's port
}

TEST_F(NetworkTransportTest, MutexIsTakenAfterTheAddressAndHeldUntilJustBeforeTheEnd) {
    ASSERT_EQ(Run("^XA^XZ"), JobResult::Done);
    EXPECT_EQ(
        LogEntries({"CreateMutexA", "RegQueryValueExA", "WaitForSingleObject", "WSAStartup",
                    "socket", "bind", "connect"}),
        (std::vector<std::string>{"CreateMutexA ipMutex", "RegQueryValueExA BaudorIPAddress",
                                  "WaitForSingleObject mutex:ipMutex", "WSAStartup 1.1", "socket",
                                  "bind " + portText, "connect 192.168.1.50:" + portText,
                                  // optional; once connected, absent here
                                  "RegQueryValueExA CheckStatus"}));
    EXPECT_EQ(Reports().front(), Status(0)); // the first report, before the address is read
    auto log = substitute::CallLog();
    EXPECT_EQ(log.front(), "CreateMutexA ipMutex");
}

TEST_F(NetworkTransportTest, EmptyFileOpensTheConnectionAndSendsNothing) {
    ASSERT_EQ(Run(""), JobResult::Done);
    EXPECT_TRUE(Sends().empty());
    EXPECT_EQ(Reports(),
              (std::vector<std::string>{Status(0), Advance(0), Status(IDS_STATUS_COMPLETE),
                                        Done(0, JobResult::Done)}));
    EXPECT_TRUE(substitute::Sleeps().empty());
    EXPECT_FALSE(FileExists(inputPath));
    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    EXPECT_EQ(substitute::ReceivedConnections()[0].bytes, "");
}

TEST_F(NetworkTransportTest, EachChunkIsSentOnceAndFollowedByOneDelay) {
    const std::string content = Bytes(1025);
    ASSERT_EQ(Run(content), JobResult::Done);
    EXPECT_EQ(Sends(), (std::vector<std::string>{"send 512", "send 512", "send 1"}));
    EXPECT_EQ(substitute::Sleeps(), (std::vector<DWORD>{kDelay, kDelay, kDelay}));
    EXPECT_EQ(LogEntries({"Report advance"}),
              (std::vector<std::string>{Advance(512), Advance(512), Advance(1), Advance(0)}));
    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    EXPECT_TRUE(substitute::ReceivedConnections()[0].bytes == content);
}

TEST_F(NetworkTransportTest, ShortSendsDeliverTheWholeChunkWithOneDelayEach) {
    const std::string content = Bytes(1025);
    substitute::LimitSendBytes(5);
    ASSERT_EQ(Run(content), JobResult::Done);
    std::vector<std::string> sends = Sends();
    // 103 sends for each full chunk (102 of 5 bytes and one of 2), one for the last byte.
    EXPECT_EQ(sends.size(), 103u + 103u + 1u);
    ASSERT_GE(sends.size(), 3u);
    EXPECT_EQ(sends[0], "send 512");
    EXPECT_EQ(sends[1], "send 507"); // the rest of the chunk, not the next one
    EXPECT_EQ(sends[2], "send 502");
    EXPECT_EQ(substitute::Sleeps(), (std::vector<DWORD>{kDelay, kDelay, kDelay}));
    EXPECT_FALSE(FileExists(inputPath));
    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    EXPECT_TRUE(substitute::ReceivedConnections()[0].bytes == content);
}

TEST_F(NetworkTransportTest, PortIsTheLowSixteenBitsOfTheNumberForBothEnds) {
    struct Case {
        const char* text;
        unsigned short port;
    };
    const Case cases[] = {{"9100", 9100}, {"70000", 4464}, {"-1", 65535},
                          {"abc", 0},     {" 12x", 12},    {"99999999999", 65535}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Restart();
        // That port may be taken on this host: the bind goes to a free one instead.
        substitute::RedirectBindPort(c.port, 0);
        portText = c.text;
        EXPECT_EQ(Run("x"), JobResult::Done);
        std::string port = std::to_string(c.port);
        EXPECT_EQ(LogEntries({"bind", "connect"}),
                  (std::vector<std::string>{"bind " + port, "connect 192.168.1.50:" + port}));
    }
}

TEST_F(NetworkTransportTest, AddressTextIsConvertedWithoutBeingChecked) {
    substitute::SetRegistryString(kSettingsKey, "BaudorIPAddress", "label-printer");
    ASSERT_EQ(Run("x"), JobResult::Done);
    EXPECT_EQ(LogEntries({"connect"}),
              (std::vector<std::string>{"connect 255.255.255.255:" + portText}));
}

TEST_F(NetworkTransportTest, SocketIsTriedAttemptsTimesWithPausesBetween) {
    struct Case {
        int attempts;
        int tries;
    };
    const Case cases[] = {{3, 3}, {1, 1}, {0, 1}, {-5, 1}, {INT_MIN, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attempts);
        Restart();
        substitute::FailNext("socket", WSAEMFILE, 100);
        EXPECT_EQ(Run("^XA^XZ", c.attempts), JobResult::PortOpenError);
        EXPECT_EQ(Count(substitute::CallLog(), "socket"), c.tries);
        EXPECT_EQ(substitute::Sleeps(),
                  std::vector<DWORD>(static_cast<std::size_t>(c.tries - 1), 500));
        EXPECT_EQ(Releases(),
                  (std::vector<std::string>{
                      FileLabel(), KeyLabel(), "WSACleanup", "ReleaseMutex mutex:ipMutex",
                      "CloseHandle mutex:ipMutex", Done(WSAEMFILE, JobResult::PortOpenError)}));
        ExpectFailedJobLeftNothing("^XA^XZ");
    }
}

TEST_F(NetworkTransportTest, SocketThatSucceedsOnALaterTryIsUsed) {
    substitute::FailNext("socket", WSAENOBUFS, 2);
    ASSERT_EQ(Run("^XA^XZ", 3), JobResult::Done);
    EXPECT_EQ(Count(substitute::CallLog(), "socket"), 3);
    EXPECT_EQ(substitute::Sleeps(), (std::vector<DWORD>{500, 500, kDelay}));
}

// The address cannot be read: the mutex was never waited for.
TEST_F(NetworkTransportTest, MissingAddressEndsWithSettingsErrorBeforeTheMutexWait) {
    substitute::DeleteRegistryValue(kSettingsKey, "BaudorIPAddress");
    ASSERT_EQ(Run("^XA^XZ"), JobResult::SettingsError);
    // The code is the failed read's own: the value is absent.
    EXPECT_EQ(Releases(),
              (std::vector<std::string>{FileLabel(), KeyLabel(), "CloseHandle mutex:ipMutex",
                                        Done(ERROR_FILE_NOT_FOUND, JobResult::SettingsError)}));
    EXPECT_EQ(Count(substitute::CallLog(), "WaitForSingleObject mutex:ipMutex"), 0);
    EXPECT_EQ(Count(substitute::CallLog(), "WSAStartup 1.1"), 0);
    EXPECT_EQ(Reports(), (std::vector<std::string>{
                             Status(0), Done(ERROR_FILE_NOT_FOUND, JobResult::SettingsError)}));
    ExpectFailedJobLeftNothing("^XA^XZ");
}

// Bind and connect failures, scripted and real, and the unbound retry after "address in use".
TEST_F(NetworkTransportTest, BindAndConnectFailuresEndAtOnce) {
    struct Case {
        const char* call;
        int error;
        JobResult result;
        int connects;
    };
    const Case cases[] = {{"bind", WSAEACCES, JobResult::PortSettingsReadError, 0},
                          {"bind", WSAEINVAL, JobResult::PortSettingsReadError, 0},
                          {"connect", WSAETIMEDOUT, JobResult::PortConfigError, 1},
                          {"connect", WSAECONNREFUSED, JobResult::PortConfigError, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.error));
        Restart();
        substitute::FailNext(c.call, static_cast<DWORD>(c.error));
        EXPECT_EQ(Run("^XA^XZ"), c.result);
        EXPECT_EQ(Count(substitute::CallLog(), "socket"), 1);
        EXPECT_EQ(LogEntries({"connect"}).size(), static_cast<std::size_t>(c.connects));
        EXPECT_EQ(Releases(), (std::vector<std::string>{
                                  FileLabel(), KeyLabel(), "closesocket", "WSACleanup",
                                  "ReleaseMutex mutex:ipMutex", "CloseHandle mutex:ipMutex",
                                  Done(static_cast<DWORD>(c.error), c.result)}));
        ExpectFailedJobLeftNothing("^XA^XZ");
    }
}

TEST_F(NetworkTransportTest, RefusedConnectionEndsWithConnectError) {
    substitute::RedirectConnections(substitute::FreeLocalPort()); // nothing listens there
    ASSERT_EQ(Run("^XA^XZ"), JobResult::PortConfigError);
    EXPECT_EQ(Reports().back(), Done(WSAECONNREFUSED, JobResult::PortConfigError));
    EXPECT_EQ(LogEntries({"connect"}).size(), 1u);
    ExpectFailedJobLeftNothing("^XA^XZ");
}

TEST_F(NetworkTransportTest, AddressInUseIsMetByOneConnectWithoutBind) {
    const std::string content = Bytes(700);
    // The previous job's close still unacknowledged: connect refuses the same pair of ends as
    // "address not available" on some stacks.
    const std::pair<const char*, DWORD> failures[] = {
        {"bind", WSAEADDRINUSE}, {"connect", WSAEADDRINUSE}, {"connect", WSAEADDRNOTAVAIL}};
    for (const auto& [call, error] : failures) {
        SCOPED_TRACE(std::string(call) + " " + std::to_string(error));
        Restart();
        substitute::FailNext(call, error);
        ASSERT_EQ(Run(content), JobResult::Done);
        std::string connect = "connect 192.168.1.50:" + portText;
        std::vector<std::string> expected = {"socket", "bind " + portText};
        if (std::string(call) == "connect") {
            expected.push_back(connect);
        }
        // The first socket is released before the second is made.
        expected.insert(expected.end(), {"closesocket", "socket", connect, "closesocket"});
        EXPECT_EQ(LogEntries({"socket", "bind", "connect", "closesocket"}), expected);
        EXPECT_EQ(Reports().back(), Done(0, JobResult::Done));
        ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
        auto received = substitute::ReceivedConnections();
        EXPECT_TRUE(received[0].bytes == content);
        EXPECT_NE(received[0].peerPort, printerPort); // a port the system picked
        EXPECT_TRUE(substitute::OpenHandles().empty());
    }
}

TEST_F(NetworkTransportTest, FailedRetryAfterAddressInUseEndsTheJob) {
    struct Case {
        std::vector<std::pair<const char*, int>> failures; // call, error; in order
        int error;
        JobResult result;
    };
    const Case cases[] = {
        // connect refused with "address in use" again: no third try
        {{{"connect", WSAEADDRINUSE}, {"connect", WSAEADDRINUSE}},
         WSAEADDRINUSE,
         JobResult::PortConfigError},
        // an address that is not available to any socket: the retry meets it too
        {{{"connect", WSAEADDRNOTAVAIL}, {"connect", WSAEADDRNOTAVAIL}},
         WSAEADDRNOTAVAIL,
         JobResult::PortConfigError},
        {{{"bind", WSAEADDRINUSE}, {"connect", WSAECONNREFUSED}},
         WSAECONNREFUSED,
         JobResult::PortConfigError},
    };
    for (const Case& c : cases) {
        Restart();
        if (std::string(c.failures[0].first) == c.failures[1].first) {
            substitute::FailNext(c.failures[0].first, static_cast<DWORD>(c.error), 2);
        } else {
            substitute::FailNext(c.failures[0].first, static_cast<DWORD>(c.failures[0].second));
            substitute::FailNext(c.failures[1].first, static_cast<DWORD>(c.failures[1].second));
        }
        EXPECT_EQ(Run("^XA^XZ"), c.result);
        EXPECT_EQ(Count(substitute::CallLog(), "socket"), 2);
        EXPECT_EQ(Releases(),
                  (std::vector<std::string>{"closesocket", FileLabel(), KeyLabel(), "closesocket",
                                            "WSACleanup", "ReleaseMutex mutex:ipMutex",
                                            "CloseHandle mutex:ipMutex",
                                            Done(static_cast<DWORD>(c.error), c.result)}));
        ExpectFailedJobLeftNothing("^XA^XZ");
    }

    // The fresh socket cannot be made: the job ends as when no socket can be made.
    Restart();
    substitute::FailNext("bind", WSAEADDRINUSE);
    substitute::FailNext("socket", WSAEMFILE, 1, 1);
    EXPECT_EQ(Run("^XA^XZ"), JobResult::PortOpenError);
    EXPECT_EQ(Releases(),
              (std::vector<std::string>{"closesocket", FileLabel(), KeyLabel(), "WSACleanup",
                                        "ReleaseMutex mutex:ipMutex", "CloseHandle mutex:ipMutex",
                                        Done(WSAEMFILE, JobResult::PortOpenError)}));
    ExpectFailedJobLeftNothing("^XA^XZ");
}

TEST_F(NetworkTransportTest, SecondJobToTheSamePrinterRightAfterTheFirstIsDelivered) {
    const std::string first = Bytes(600);
    const std::string second = Bytes(900);
    ASSERT_EQ(Run(first), JobResult::Done);
    // The first connection's local end, the printer's port, is still in TIME_WAIT now.
    ASSERT_EQ(Run(second), JobResult::Done);
    EXPECT_EQ(LogEntries({"socket", "bind", "connect", "closesocket"}),
              (std::vector<std::string>{"socket", "bind " + portText, "closesocket", "socket",
                                        "connect 192.168.1.50:" + portText, "closesocket"}));
    ASSERT_TRUE(substitute::WaitForReceivedConnections(2));
    auto received = substitute::ReceivedConnections();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(received[0].bytes == first);
    EXPECT_TRUE(received[1].bytes == second);
    EXPECT_EQ(received[0].peerPort, printerPort);
    EXPECT_NE(received[1].peerPort, printerPort);
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

// The input file was never opened: the connection is made, then the first read fails.
TEST_F(NetworkTransportTest, UnopenedInputEndsWithInputErrorAfterConnecting) {
    ASSERT_EQ(Run("^XA^XZ", 3, false), JobResult::InputFileError);
    EXPECT_EQ(LogEntries({"connect"}).size(), 1u);
    EXPECT_EQ(Releases(),
              (std::vector<std::string>{"HeapFree 512", KeyLabel(), "closesocket", "WSACleanup",
                                        "ReleaseMutex mutex:ipMutex", "CloseHandle mutex:ipMutex",
                                        Done(ERROR_INVALID_HANDLE, JobResult::InputFileError)}));
    EXPECT_EQ(Reports(), (std::vector<std::string>{
                             Status(0), Done(ERROR_INVALID_HANDLE, JobResult::InputFileError)}));
    ExpectFailedJobLeftNothing("^XA^XZ");
}

TEST_F(NetworkTransportTest, ReadFailureMidwayEndsWithInputErrorAndKeepsTheFile) {
    const std::string content = Bytes(1025);
    substitute::FailNext("ReadFile", ERROR_READ_FAULT, 1, 1);
    ASSERT_EQ(Run(content), JobResult::InputFileError);
    EXPECT_EQ(Sends(), (std::vector<std::string>{"send 512"}));
    EXPECT_EQ(Releases(), (std::vector<std::string>{
                              "HeapFree 512", FileLabel(), KeyLabel(), "closesocket", "WSACleanup",
                              "ReleaseMutex mutex:ipMutex", "CloseHandle mutex:ipMutex",
                              Done(ERROR_READ_FAULT, JobResult::InputFileError)}));
    ExpectFailedJobLeftNothing(content);
}

TEST_F(NetworkTransportTest, ChunkBufferThatCannotBeHadEndsWithInputError) {
    substitute::FailNext("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_EQ(Run("^XA^XZ"), JobResult::InputFileError);
    EXPECT_EQ(Releases(),
              (std::vector<std::string>{FileLabel(), KeyLabel(), "closesocket", "WSACleanup",
                                        "ReleaseMutex mutex:ipMutex", "CloseHandle mutex:ipMutex",
                                        Done(ERROR_NOT_ENOUGH_MEMORY, JobResult::InputFileError)}));
    ExpectFailedJobLeftNothing("^XA^XZ");
}

// A send fails on a whole chunk, or while sending the rest of a short one.
TEST_F(NetworkTransportTest, SendFailureEndsWithWriteErrorAndKeepsTheFile) {
    struct Case {
        int limit;
        int skip;
        std::vector<std::string> sends;
        std::vector<std::string> advances;
        std::size_t pauses;
    };
    const Case cases[] = {
        {0, 0, {"send 512"}, {}, 1},
        {0, 1, {"send 512", "send 512"}, {Advance(512)}, 2},
        {100, 2, {"send 512", "send 412", "send 312"}, {}, 1},
    };
    const std::string content = Bytes(1025);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.skip);
        Restart();
        substitute::LimitSendBytes(c.limit);
        substitute::FailNext("send", WSAECONNRESET, 1, c.skip);
        EXPECT_EQ(Run(content), JobResult::PortWriteError);
        EXPECT_EQ(Sends(), c.sends);
        EXPECT_EQ(LogEntries({"Report advance"}), c.advances);
        EXPECT_EQ(substitute::Sleeps(), std::vector<DWORD>(c.pauses, kDelay));
        EXPECT_EQ(Releases(),
                  (std::vector<std::string>{"HeapFree 512", FileLabel(), KeyLabel(), "closesocket",
                                            "WSACleanup", "ReleaseMutex mutex:ipMutex",
                                            "CloseHandle mutex:ipMutex",
                                            Done(WSAECONNRESET, JobResult::PortWriteError)}));
        ExpectFailedJobLeftNothing(content);
    }
}

TEST_F(NetworkTransportTest, MutexThatCannotBeCreatedIsNeitherWaitedForNorReleased) {
    substitute::FailNext("CreateMutexA", ERROR_ACCESS_DENIED);
    ASSERT_EQ(Run("^XA^XZ"), JobResult::Done);
    EXPECT_EQ(LogEntries({"WaitForSingleObject", "ReleaseMutex", "CloseHandle mutex"}).size(), 0u);
    EXPECT_FALSE(FileExists(inputPath));
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(NetworkTransportTest, SecondJobWaitsUntilTheFirstHasDeletedItsFile) {
    // This thread holds the mutex until both jobs wait for it.
    HANDLE gate = CreateMutexA(nullptr, FALSE, "ipMutex");
    ASSERT_EQ(WaitForSingleObject(gate, 10000), WAIT_OBJECT_0);

    const std::string contents[2] = {Bytes(1300), std::string(800, 'Z')};
    const std::string paths[2] = {directory + "/first.zpl", directory + "/second.zpl"};
    auto jobs = std::make_unique<JobSetup[]>(2);
    for (int i = 0; i < 2; ++i) {
        Prepare(&jobs[i], window, paths[i], contents[i], portText, 3, true);
    }
    substitute::ClearCallLog();
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = CreateThread(nullptr, 1024, RunPreparedJob, &jobs[i], 0, nullptr);
    }
    const std::string wait = "WaitForSingleObject mutex:ipMutex";
    for (int i = 0; i < 1000 && Count(substitute::CallLog(), wait) < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(Count(substitute::CallLog(), wait), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Count(substitute::CallLog(), "WSAStartup 1.1"), 0)
        << "a job went on without the mutex";
    EXPECT_TRUE(ReleaseMutex(gate));

    for (HANDLE thread : threads) {
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    CloseHandle(gate);
    EXPECT_EQ(jobs[0].result, JobResult::Done);
    EXPECT_EQ(jobs[1].result, JobResult::Done);

    // Whichever job went first, the other one starts only after its file is gone and its
    // mutex released.
    std::vector<std::string> log = substitute::CallLog();
    std::vector<std::size_t> starts;
    std::vector<std::size_t> deletes;
    std::vector<std::size_t> releases;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i] == "WSAStartup 1.1") {
            starts.push_back(i);
        } else if (StartsWith(log[i], "DeleteFileA ")) {
            deletes.push_back(i);
        } else if (log[i] == "ReleaseMutex mutex:ipMutex") {
            releases.push_back(i);
        }
    }
    ASSERT_EQ(starts.size(), 2u);
    ASSERT_EQ(deletes.size(), 2u);
    ASSERT_EQ(releases.size(), 3u); // this thread's, then one per job
    EXPECT_LT(deletes[0], releases[1]);
    EXPECT_LT(releases[1], starts[1]);
    EXPECT_LT(starts[0], deletes[0]);
    EXPECT_FALSE(FileExists(paths[0]));
    EXPECT_FALSE(FileExists(paths[1]));

    ASSERT_TRUE(substitute::WaitForReceivedConnections(2));
    auto received = substitute::ReceivedConnections();
    ASSERT_EQ(received.size(), 2u);
    bool firstThenSecond = received[0].bytes == contents[0] && received[1].bytes == contents[1];
    bool secondThenFirst = received[0].bytes == contents[1] && received[1].bytes == contents[0];
    EXPECT_TRUE(firstThenSecond || secondThenFirst) << "each file whole on a connection of its own";
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

// After the last chunk the job ends its sending side and reads what the printer sends until
// the printer closes; only then does it close and report. The peer greets, so that closing
// early would find unread data.
TEST_F(NetworkTransportTest, ClosingWaitReadsThePrinterOutUntilItCloses) {
    struct Case {
        const char* name;
        std::string greeting;
        substitute::LoopbackPeerEnd end;
        int quietAfter; // recv calls that get data before the printer stays quiet; -1 never
        DWORD error;    // WM_JOB_DONE
        JobResult result;
        // What the close proved: only the printer's own close says it read everything.
        Confirmed confirmed;
    };
    const std::string greeting = "PRINTER READY\r\n" + std::string(2000, 'g');
    const Case cases[] = {
        {"closes", greeting, substitute::LoopbackPeerEnd::Close, -1, 0, JobResult::Done,
         Confirmed::Closed},
        {"quiet at once", "", substitute::LoopbackPeerEnd::StayOpen, 0, 0, JobResult::Done,
         Confirmed::No},
        {"quiet after greeting", "hi", substitute::LoopbackPeerEnd::StayOpen, 1, 0, JobResult::Done,
         Confirmed::No},
        {"resets", greeting, substitute::LoopbackPeerEnd::Reset, -1, WSAECONNRESET,
         JobResult::PortWriteError, Confirmed::No},
    };
    const std::string content = Bytes(1300);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        substitute::SetLoopbackPeer(c.greeting, c.end);
        if (c.quietAfter >= 0) {
            substitute::TimeOutRecv(1, c.quietAfter);
        }
        g_jobOutcome.confirmed = Confirmed::Printed;
        DWORD started = GetTickCount();
        EXPECT_EQ(Run(content), c.result);
        EXPECT_EQ(static_cast<int>(g_jobOutcome.confirmed),
                  static_cast<int>(c.result == JobResult::Done ? c.confirmed : Confirmed::Printed));
        if (c.quietAfter >= 0) {
            // Silence counts as delivered only after 30 s when the job has no time-out.
            EXPECT_GE(GetTickCount() - started, 30000u);
        }
        std::vector<std::string> calls =
            LogEntries({"send", "setsockopt", "shutdown", "recv", "closesocket"});
        ASSERT_GE(calls.size(), 7u);
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 3, calls.begin() + 6),
                  (std::vector<std::string>{"setsockopt 65535 4102", "shutdown 1", "recv 512"}));
        EXPECT_EQ(calls.back(), "closesocket");
        if (c.quietAfter >= 0) {
            // Each recv but the last got data; the last waited out the quiet time.
            EXPECT_EQ(Count(calls, "recv 512"), c.quietAfter + 1);
        }
        EXPECT_EQ(Reports().back(), Done(c.error, c.result));
        if (c.result == JobResult::Done) {
            EXPECT_EQ(Releases(),
                      (std::vector<std::string>{
                          "closesocket", "WSACleanup", "HeapFree 512", FileLabel(),
                          "DeleteFileA " + inputPath, "ReleaseMutex mutex:ipMutex",
                          "CloseHandle mutex:ipMutex", Done(0, JobResult::Done), KeyLabel()}));
            EXPECT_FALSE(FileExists(inputPath));
            ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
            auto received = substitute::ReceivedConnections();
            ASSERT_EQ(received.size(), 1u);
            EXPECT_TRUE(received[0].bytes == content) << "received " << received[0].bytes.size();
        } else {
            EXPECT_EQ(Releases(), (std::vector<std::string>{
                                      "HeapFree 512", FileLabel(), KeyLabel(), "closesocket",
                                      "WSACleanup", "ReleaseMutex mutex:ipMutex",
                                      "CloseHandle mutex:ipMutex", Done(c.error, c.result)}));
            ExpectFailedJobLeftNothing(content);
        }
        EXPECT_TRUE(substitute::OpenHandles().empty());
    }
}

// Any failure of the closing wait but the quiet time-out may mean the printer lacks the end of
// the label: the job ends as a send failure and keeps the file.
TEST_F(NetworkTransportTest, ClosingWaitFailureEndsAsSendFailure) {
    struct Case {
        const char* call;
        int error;
        int skip;
    };
    const Case cases[] = {{"setsockopt", WSAENOBUFS, 0},
                          {"shutdown", WSAECONNRESET, 0},
                          {"recv", WSAECONNABORTED, 0},
                          {"recv", WSAENETRESET, 1}};
    const std::string content = Bytes(600);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.error));
        Restart();
        substitute::SetLoopbackPeer("greeting", substitute::LoopbackPeerEnd::Close);
        substitute::FailNext(c.call, static_cast<DWORD>(c.error), 1, c.skip);
        EXPECT_EQ(Run(content), JobResult::PortWriteError);
        EXPECT_EQ(Releases(),
                  (std::vector<std::string>{
                      "HeapFree 512", FileLabel(), KeyLabel(), "closesocket", "WSACleanup",
                      "ReleaseMutex mutex:ipMutex", "CloseHandle mutex:ipMutex",
                      Done(static_cast<DWORD>(c.error), JobResult::PortWriteError)}));
        ExpectFailedJobLeftNothing(content);
    }
}

// A printer that keeps talking and never closes is cut off: 30 s after the wait began, the
// job closes and reports as when the printer closes. Each recv here takes 4 s of the virtual
// clock, which starts just before its count wraps.
TEST_F(NetworkTransportTest, ClosingWaitEndsAfterItsCapWhenThePrinterKeepsTalking) {
    substitute::SetLoopbackPeer(std::string(64 * 1024, 's'), substitute::LoopbackPeerEnd::StayOpen);
    substitute::WaitInRecv(4000);
    ASSERT_EQ(Run(Bytes(700)), JobResult::Done);
    EXPECT_EQ(Count(substitute::CallLog(), "recv 512"), 8); // 32 s: the first past the cap
    EXPECT_EQ(Reports().back(), Done(0, JobResult::Done));
    EXPECT_FALSE(FileExists(inputPath));
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

// A connection to itself (the printer's address is this machine, nothing listens on its
// port) and the address 0.0.0.0 reach no printer: a refused connection, nothing sent.
TEST_F(NetworkTransportTest, ConnectionToItselfOrToAddressZeroIsRefused) {
    struct Case {
        const char* name;
        const char* address;
        bool selfRedirect;  // the connect goes to the job's own port on loopback
        bool ownNameAsPeer; // getpeername reports the socket's own end
        bool addressInUse;  // the bind meets "address in use": the unbound retry is checked
        std::vector<std::string> connection; // socket calls, from the bind on
    };
    const std::string port = "PORT";
    const Case cases[] = {
        {"real connection to itself",
         "127.0.0.1",
         true,
         false,
         false,
         {"bind PORT", "connect 127.0.0.1:PORT", "getsockname", "getpeername", "closesocket"}},
        {"unbound retry reaching itself",
         "10.0.0.7",
         false,
         true,
         true,
         {"bind PORT", "closesocket", "socket", "connect 10.0.0.7:PORT", "getsockname",
          "getpeername", "closesocket"}},
        {"0.0.0.0", "0.0.0.0", false, false, false, {"bind PORT", "closesocket"}},
        {"0", "0", false, false, false, {"bind PORT", "closesocket"}},
        {"0 in hexadecimal", "0x0.0", false, false, false, {"bind PORT", "closesocket"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        substitute::SetRegistryString(kSettingsKey, "BaudorIPAddress", c.address);
        if (c.selfRedirect) {
            substitute::StopLoopbackListener();
            substitute::RedirectConnections(printerPort);
        }
        substitute::ReportOwnNameAsPeer(c.ownNameAsPeer);
        if (c.addressInUse) {
            substitute::FailNext("bind", WSAEADDRINUSE);
        }
        EXPECT_EQ(Run("^XA^XZ"), JobResult::PortConfigError);
        std::vector<std::string> expected;
        for (std::string call : c.connection) {
            std::size_t at = call.find(port);
            if (at != std::string::npos) {
                call.replace(at, port.size(), portText);
            }
            expected.push_back(call);
        }
        std::vector<std::string> calls = LogEntries(
            {"socket", "bind", "connect", "getsockname", "getpeername", "send", "closesocket"});
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 1, calls.end()), expected);
        EXPECT_EQ(Reports(), (std::vector<std::string>{
                                 Status(0), Done(WSAECONNREFUSED, JobResult::PortConfigError)}));
        ExpectFailedJobLeftNothing("^XA^XZ");
    }
}

// ---- Time-outs and unpaced copies -------------------------------------------------------

TEST_F(NetworkTransportTest, WithoutATimeoutTheSocketBlocksAsBefore) {
    ASSERT_EQ(Run(Bytes(1500)), JobResult::Done);
    EXPECT_EQ(LogEntries({"ioctlsocket", "select", "getsockopt"}).size(), 0u);
    EXPECT_EQ(Sends(), (std::vector<std::string>{"send 512", "send 512", "send 476"}));
}

TEST_F(NetworkTransportTest, PrinterThatDoesNotAnswerOrReadEndsWithinTheTimeout) {
    struct Case {
        const char* name;
        int delay;
        int selectSkip; // selects that find the socket ready before the one that runs out
        DWORD waitInSelect;
        int sendLimit;
        JobResult result;
        int sends;
        DWORD elapsed; // on the virtual clock, from connect to the end, pauses excluded
    };
    const Case cases[] = {
        {"connection never made", kDelay, 0, 0, 0, JobResult::PortConfigError, 0, 5000},
        {"first chunk never taken", kDelay, 1, 0, 0, JobResult::PortWriteError, 0, 5000},
        {"third chunk never taken", kDelay, 3, 0, 0, JobResult::PortWriteError, 2, 5000},
        // A slow printer takes 512 bytes per 600 ms, and each chunk has 2 s: every 512-byte
        // chunk is taken in time, while one block of 3000 bytes has had three parts taken
        // when its 2 s run out (after the connection's 600 ms).
        {"slow printer, paced", kDelay, 99, 600, 512, JobResult::Done, 6, 0},
        {"slow printer, one block", 0, 99, 600, 512, JobResult::PortWriteError, 3, 600 + 2000},
    };
    const std::string content = Bytes(3000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        delay = c.delay;
        timeout = 5;
        substitute::TimeOutSelect(1, c.selectSkip);
        substitute::WaitInSelect(c.waitInSelect);
        substitute::LimitSendBytes(c.sendLimit);
        if (c.waitInSelect != 0) {
            timeout = 2;
        }
        DWORD started = GetTickCount();
        ASSERT_EQ(Run(content), c.result);
        DWORD pauses = 0;
        for (DWORD pause : substitute::Sleeps()) {
            pauses += pause;
        }
        EXPECT_EQ(static_cast<int>(Sends().size()), c.sends);
        if (c.result == JobResult::Done) {
            EXPECT_FALSE(FileExists(inputPath));
            ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
            EXPECT_TRUE(substitute::ReceivedConnections()[0].bytes == content);
            continue;
        }
        EXPECT_EQ(GetTickCount() - started - pauses, c.elapsed);
        std::vector<std::string> releases;
        if (c.result == JobResult::PortWriteError) {
            releases.push_back("HeapFree " + std::to_string(c.delay > 0 ? 512 : 65536));
        }
        releases.insert(releases.end(), {FileLabel(), KeyLabel(), "closesocket", "WSACleanup",
                                         "ReleaseMutex mutex:ipMutex", "CloseHandle mutex:ipMutex",
                                         Done(WSAETIMEDOUT, c.result)});
        EXPECT_EQ(Releases(), releases);
        ExpectFailedJobLeftNothing(content);
    }
}

TEST_F(NetworkTransportTest, TimedConnectReportsTheConnectionsOwnFailures) {
    struct Case {
        const char* name;
        const char* failingCall;
        DWORD error;
    };
    const Case cases[] = {{"refused", nullptr, WSAECONNREFUSED},
                          {"non-blocking mode refused", "ioctlsocket", WSAENOTSOCK},
                          {"wait failed", "select", WSAENETDOWN},
                          {"pending error unreadable", "getsockopt", WSAEFAULT}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        timeout = 5;
        if (c.failingCall == nullptr) {
            substitute::RedirectConnections(substitute::FreeLocalPort()); // nothing listens there
        } else {
            substitute::FailNext(c.failingCall, c.error);
        }
        ASSERT_EQ(Run("^XA^XZ"), JobResult::PortConfigError);
        EXPECT_EQ(Reports().back(), Done(c.error, JobResult::PortConfigError));
        ExpectFailedJobLeftNothing("^XA^XZ");
    }
}

TEST_F(NetworkTransportTest, TimedJobWaitsForEachChunkThenClosesOnABlockingSocket) {
    timeout = 4;
    const std::string content = Bytes(1025);
    ASSERT_EQ(Run(content), JobResult::Done);
    EXPECT_EQ(LogEntries({"ioctlsocket", "connect", "select", "send", "setsockopt", "recv"})[0],
              "ioctlsocket 1");
    std::vector<std::string> waits = LogEntries({"select", "send ", "ioctlsocket", "setsockopt"});
    EXPECT_EQ(waits,
              (std::vector<std::string>{"ioctlsocket 1", "select 4000", "select 4000", "send 512",
                                        "select 4000", "send 512", "select 4000", "send 1",
                                        "ioctlsocket 0", "setsockopt 65535 4102"}));
    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    EXPECT_TRUE(substitute::ReceivedConnections()[0].bytes == content);
}

TEST_F(NetworkTransportTest, UnpacedCopySendsLargeBlocksWithoutPauses) {
    delay = 0;
    const std::string content = Bytes(150000);
    ASSERT_EQ(Run(content), JobResult::Done);
    std::vector<std::string> sends = Sends();
    ASSERT_FALSE(sends.empty());
    EXPECT_EQ(sends[0], "send 65536");
    EXPECT_EQ(
        LogEntries({"Report advance"}),
        (std::vector<std::string>{Advance(65536), Advance(65536), Advance(18928), Advance(0)}));
    EXPECT_EQ(substitute::Sleeps(), (std::vector<DWORD>{0, 0, 0}));
    EXPECT_EQ(Releases()[0], "closesocket");
    EXPECT_EQ(Count(Releases(), "HeapFree 65536"), 1);
    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    EXPECT_TRUE(substitute::ReceivedConnections()[0].bytes == content);
}

TEST_F(NetworkTransportTest, WorkerHandsTheStoredTimeoutToTheTransport) {
    struct Case {
        const char* stored; // nullptr: absent
        const char* firstWait;
    };
    const Case cases[] = {{nullptr, nullptr}, {"", nullptr},        {"0", nullptr},
                          {"-4", nullptr},    {"7", "select 7000"}, {" 12s", "select 12000"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored == nullptr ? "absent" : c.stored);
        Restart();
        substitute::SetRegistryString(kSettingsKey, "Delay", "0");
        substitute::SetRegistryString(kSettingsKey, "PrinterType", "TCP/IP");
        substitute::SetRegistryString(kSettingsKey, "Port", portText);
        if (c.stored != nullptr) {
            substitute::SetRegistryString(kSettingsKey, "Timeout", c.stored);
        }
        {
            std::ofstream file(inputPath, std::ios::binary | std::ios::trunc);
            file << "^XA^XZ";
        }
        char path[kPathBufferSize];
        std::snprintf(path, sizeof path, "%s", inputPath.c_str());
        g_progressWindow = window;
        substitute::ClearCallLog();
        EXPECT_EQ(JobWorker(path), 0u);
        g_progressWindow = nullptr;
        std::vector<std::string> waits = LogEntries({"select"});
        if (c.firstWait == nullptr) {
            EXPECT_TRUE(waits.empty());
        } else {
            ASSERT_FALSE(waits.empty());
            EXPECT_EQ(waits[0], c.firstWait);
        }
        EXPECT_FALSE(FileExists(inputPath));
    }
}

} // namespace

namespace {

std::string StatusAnswer(char paperOut, char pause, char headUp, char ribbonOut) {
    return std::string("\x02") + "030," + paperOut + "," + pause + ",1245,000,0,0,0,000,0,0,0" +
           "\x03\r\n\x02" + "001,0," + headUp + "," + ribbonOut + ",1,2,6,0,00000000,1,000" +
           "\x03\r\n\x02" + "1234,0\x03\r\n";
}

// A current printer's error report: silent to "~HS" in an error state, it answers this.
std::string ErrorReportAnswer(const char* group1) {
    return std::string("\x02\r\n  PRINTER STATUS\r\n   ERRORS:         ") +
           (std::strcmp(group1, "00000000") == 0 ? "0" : "1") + " 00000000 " + group1 +
           "\r\n   WARNINGS:       0 00000000 00000000\r\n\x03\r\n";
}

} // namespace

// With CheckStatus "1" the printer is asked "~HQES~HS" once connected. Only a complete
// answer that names an error or a condition stops the label, and the queries are then all
// the printer gets; any other value, or none, leaves the job as it always was.
TEST_F(NetworkTransportTest, AsksThePrinterForItsStatusOnlyWhenTheSettingSaysSo) {
    const std::string ready = StatusAnswer('0', '0', '0', '0');
    const std::string paperAndRibbonOut = StatusAnswer('1', '0', '0', '1');
    const struct {
        const char* name;
        const char* checkStatus; // nullptr: not stored
        bool answers;
        std::string answer;
        const char* errors; // the "~HQES" answer's group 1; nullptr: older firmware, silent
        JobResult result;
        DWORD code;
        bool asked;
    } cases[] = {
        {"not stored", nullptr, true, paperAndRibbonOut, "00000001", JobResult::Done, 0, false},
        {"stored as yes", "yes", true, paperAndRibbonOut, nullptr, JobResult::Done, 0, false},
        {"stored as 0", "0", true, paperAndRibbonOut, nullptr, JobResult::Done, 0, false},
        {"paper and ribbon out", "1", true, paperAndRibbonOut, nullptr, JobResult::PrinterNotReady,
         kPrinterPaperOut | kPrinterRibbonOut, true},
        {"head open and paused", "1", true, StatusAnswer('0', '1', '1', '0'), nullptr,
         JobResult::PrinterNotReady, kPrinterHeadOpen | kPrinterPaused, true},
        {"ready", "1", true, ready, nullptr, JobResult::Done, 0, true},
        {"partial", "1", true, StatusAnswer('1', '0', '0', '0').substr(0, 40), nullptr,
         JobResult::Done, 0, true},
        {"silent", "1", false, "", nullptr, JobResult::Done, 0, true},
        // Current firmware: silent to "~HS" in an error state, the error report names it.
        {"media out", "1", false, "", "00000001", JobResult::PrinterNotReady, kPrinterMediaOut,
         true},
        {"head open and cutter fault", "1", false, "", "0000000C", JobResult::PrinterNotReady,
         kPrinterHeadOpen | kPrinterCutterFault, true},
        {"no error, ready", "1", true, ready, "00000000", JobResult::Done, 0, true},
        {"no error, silent", "1", false, "", "00000000", JobResult::Done, 0, true},
    };
    const std::string content = Bytes(700);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        if (c.checkStatus != nullptr) {
            substitute::SetRegistryString(kSettingsKey, "CheckStatus", c.checkStatus);
        }
        if (c.answers) {
            substitute::AnswerHostStatus(c.answer);
        }
        if (c.errors != nullptr) {
            substitute::AnswerErrorReport(ErrorReportAnswer(c.errors));
        }
        auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(Run(content), c.result);
        // A silent or partial answer costs the wait and no more.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
        EXPECT_EQ(Reports().back(), Done(c.code, c.result));
        bool done = c.result == JobResult::Done;
        if (done) {
            EXPECT_FALSE(FileExists(inputPath));
        } else {
            ExpectFailedJobLeftNothing(content);
            EXPECT_EQ(Releases(), (std::vector<std::string>{
                                      FileLabel(), KeyLabel(), "closesocket", "WSACleanup",
                                      "ReleaseMutex mutex:ipMutex", "CloseHandle mutex:ipMutex",
                                      Done(c.code, c.result)}));
        }
        EXPECT_TRUE(substitute::OpenHandles().empty());
        EXPECT_EQ(LogEntries({"select"}).empty(), !c.asked); // the wait for an answer
        ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
        auto received = substitute::ReceivedConnections();
        ASSERT_EQ(received.size(), 1u);
        std::string expected = std::string(c.asked ? kStatusQueries : "") + (done ? content : "");
        EXPECT_TRUE(received[0].bytes == expected)
            << received[0].bytes.size() << " bytes: " << received[0].bytes.substr(0, 8);
    }
}
