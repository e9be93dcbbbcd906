// The port transport: open attempts, the line settings read, changed and applied, the copy
// to the device with whole chunks, the diagnostic log, and the releases of every exit.
#include "transport/port_transport.h"

#include "job_journal.h"
#include "settings/setting_places.h"
#include "settings/settings_store.h"
#include "tests/support/pty_pair.h"

#include <gtest/gtest.h>

#include <climits>

#include <cstring>

namespace {

using jobtest::PathBuffer;
using Lines = std::vector<std::string>;

const std::string kKeyLabel = std::string("key:") + jobtest::kSettingsKey;
constexpr char kLogName[] = "C:\\tagwrightLog.txt";

DWORD FlagsWord(const DCB& dcb) {
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 2 * sizeof(DWORD), sizeof(flags));
    return flags;
}

class PortTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        window = jobtest::CreateJournalWindow();
        device = folder / "device.out";
        input = folder / "label.zpl";
        substitute::MapCommDevice("COM1", device);
        substitute::MapDevice("LPT1", device);
        jobtest::SetPortSettings("Serial", "COM1");
        jobtest::WriteBytes(input, "^XA^FO20,20^FDport^FS^XZ\n");
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        substitute::DestroyTestWindow(window);
    }

    // Hands a job over as the worker does; the call log then holds the transport's calls.
    JobResult Run(PortMode mode, const std::string& port, int attempts, bool openInput = true) {
        HANDLE file = openInput ? CreateFileA(input.c_str(), FILE_READ_DATA, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, 0, nullptr)
                                : INVALID_HANDLE_VALUE;
        EXPECT_TRUE(!openInput || file != INVALID_HANDLE_VALUE);
        HKEY key = nullptr;
        EXPECT_TRUE(OpenSettingsKeyForReading(&key));
        std::snprintf(value, sizeof(value), "%s", port.c_str());
        inputFile = file;
        SettingPlaces places{{nullptr, key, nullptr}};
        TransportJob job{window, path.text, file, &places, value, delay, attempts};
        job.timeout = timeout;
        substitute::ClearCallLog();
        return PortTransport(&job, mode);
    }
    Lines Reports() const { return jobtest::Reports(window); }
    int delay = 1000;
    int timeout = 0; // seconds
    Lines Releases(const std::string& port) const {
        Lines lines;
        for (std::string line : jobtest::ReleasesAndDone()) {
            if (line == "CloseHandle file:" + input) {
                line = "input";
            } else if (line == "CloseHandle device:" + port) {
                line = "port";
            } else if (line == "RegCloseKey " + kKeyLabel) {
                line = "key";
            } else if (line == "HeapFree 512") {
                line = "chunk";
            } else if (line == "DeleteFileA " + input) {
                line = "delete";
            }
            lines.push_back(line);
        }
        return lines;
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string device;
    std::string input;
    PathBuffer path{""};
    char value[kTextBufferSize] = {};
    HANDLE inputFile = INVALID_HANDLE_VALUE; // as handed to the last job

    void SetUpPath() { path = PathBuffer(input); }
};

TEST_F(PortTransportTest, OpenAttemptsFollowTheAttemptsValue) {
    struct Case {
        int attempts;
        int tries;
    };
    const Case cases[] = {{0, 1}, {-5, 1}, {1, 1}, {3, 3}, {10, 10}, {INT_MIN, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attempts);
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapDevice("LPT1", device);
        jobtest::SetPortSettings("Parallel", "LPT1");
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        HANDLE holder = CreateFileA("LPT1", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        SetUpPath();

        EXPECT_EQ(Run(PortMode::Parallel, "LPT1", c.attempts), JobResult::PortOpenError);

        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "CreateFileA LPT1"), c.tries);
        EXPECT_EQ(substitute::Sleeps(),
                  std::vector<DWORD>(static_cast<std::size_t>(c.tries - 1), 500));
        EXPECT_EQ(Releases("LPT1"), (Lines{"input", "key", "Report done 32,3"}));
        EXPECT_EQ(Reports(), Lines{"done 32,3"});
        CloseHandle(holder);
    }
}

TEST_F(PortTransportTest, LineSettingsMapFromTheirTexts) {
    struct Case {
        const char* baud;
        const char* dataBits;
        const char* parity;
        const char* stopBits;
        DWORD baudRate;
        BYTE byteSize;
        BYTE parityCode;
        BYTE stopCode;
        JobResult result; // what the emulated serial driver makes of it
    };
    const Case cases[] = {
        {"9600", "8", "none", "1", 9600, 8, NOPARITY, ONESTOPBIT, JobResult::Done},
        {"9600", "8", "mark", "1", 9600, 8, NOPARITY, ONESTOPBIT, JobResult::Done},
        {"9600", "8", "Even", "1", 9600, 8, NOPARITY, ONESTOPBIT, JobResult::Done},
        {"9600", "8", "even", "1", 9600, 8, EVENPARITY, ONESTOPBIT, JobResult::Done},
        {"9600", "8", "odd", "1", 9600, 8, ODDPARITY, ONESTOPBIT, JobResult::Done},
        {"9600", "5", "none", "1.5", 9600, 5, NOPARITY, ONE5STOPBITS, JobResult::Done},
        {"9600", "8", "none", "2", 9600, 8, NOPARITY, TWOSTOPBITS, JobResult::Done},
        {"9600", "8", "none", "3", 9600, 8, NOPARITY, ONESTOPBIT, JobResult::Done},
        {"19200", "7", "none", "1", 19200, 7, NOPARITY, ONESTOPBIT, JobResult::Done},
        {"19200", "263", "none", "1", 19200, 7, NOPARITY, ONESTOPBIT, JobResult::Done},
        {" 4800baud", "8", "none", "1", 4800, 8, NOPARITY, ONESTOPBIT, JobResult::Done},
        // Refused by the driver: the attempted record is what counts here.
        {"abc", "8", "none", "1", 0, 8, NOPARITY, ONESTOPBIT, JobResult::PortConfigError},
        {"9600", "4", "none", "1", 9600, 4, NOPARITY, ONESTOPBIT, JobResult::PortConfigError},
        {"9600", "8", "none", "1.5", 9600, 8, NOPARITY, ONE5STOPBITS, JobResult::PortConfigError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.baud) + " " + c.dataBits + " " + c.parity + " " + c.stopBits);
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapCommDevice("COM1", device);
        jobtest::SetPortSettings("Serial", "COM1");
        jobtest::SetSetting("BaudorIPAddress", c.baud);
        jobtest::SetSetting("DataBits", c.dataBits);
        jobtest::SetSetting("Parity", c.parity);
        jobtest::SetSetting("StopBits", c.stopBits);
        jobtest::WriteBytes(input, "x");
        SetUpPath();

        EXPECT_EQ(Run(PortMode::Serial, "COM1", 1), c.result);

        DCB applied{};
        ASSERT_TRUE(substitute::LastSetCommState(&applied));
        EXPECT_EQ(applied.BaudRate, c.baudRate);
        EXPECT_EQ(applied.ByteSize, c.byteSize);
        EXPECT_EQ(applied.Parity, c.parityCode);
        EXPECT_EQ(applied.StopBits, c.stopCode);
    }
}

TEST_F(PortTransportTest, FlowControlBitsChangeAndEveryOtherMemberIsKept) {
    DCB before{};
    before.DCBlength = sizeof(DCB);
    before.BaudRate = 1200;
    before.fBinary = 1;
    before.fParity = 1;
    before.fOutxCtsFlow = 1;
    before.fOutxDsrFlow = 1;
    before.fDtrControl = 2;
    before.fDsrSensitivity = 1;
    before.fTXContinueOnXoff = 1;
    before.fErrorChar = 1;
    before.fNull = 1;
    before.fRtsControl = RTS_CONTROL_HANDSHAKE;
    before.fAbortOnError = 1;
    before.wReserved = 0;
    before.XonLim = 77;
    before.XoffLim = 88;
    before.XonChar = 'Q';
    before.XoffChar = 'S';
    before.ErrorChar = '?';
    before.EofChar = 'Z';
    before.EvtChar = '!';
    substitute::SetCommStateOf("COM1", before);
    SetUpPath();

    EXPECT_EQ(Run(PortMode::Serial, "COM1", 1), JobResult::Done);

    DCB after{};
    substitute::CommStateOf("COM1", &after);
    EXPECT_EQ(FlagsWord(after), (FlagsWord(before) & 0xFFFFCFFFu) | 0x300u);
    EXPECT_EQ(after.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(after.fOutX, 1u);
    EXPECT_EQ(after.fInX, 1u);
    EXPECT_EQ(after.XonLim, 77);
    EXPECT_EQ(after.XoffLim, 88);
    EXPECT_EQ(
        std::string({after.XonChar, after.XoffChar, after.ErrorChar, after.EofChar, after.EvtChar}),
        "QS?Z!");
    EXPECT_EQ(after.BaudRate, 9600u);
}

TEST_F(PortTransportTest, ParallelModeSendsAlthoughTheLineSettingsCannotBeRead) {
    std::string label = jobtest::SampleBytes(1000);
    jobtest::WriteBytes(input, label);
    SetUpPath();
    substitute::FailNext("GetCommState", ERROR_INVALID_FUNCTION);

    EXPECT_EQ(Run(PortMode::Parallel, "LPT1", 3), JobResult::Done);

    EXPECT_EQ(jobtest::CallsStartingWith(
                  {"RegQueryValueExA", "Report status", "SetCommState", "GetCommState"}),
              (Lines{"GetCommState device:LPT1", "RegQueryValueExA BaudorIPAddress",
                     "RegQueryValueExA DataBits", "RegQueryValueExA Parity",
                     "RegQueryValueExA StopBits", "Report status 123", "Report status 124"}));
    EXPECT_EQ(jobtest::ReadBytes(device), label);
    EXPECT_FALSE(jobtest::Exists(input));
    EXPECT_EQ(Releases("LPT1"),
              (Lines{"chunk", "input", "port", "delete", "Report done 0,0", "key"}));
}

TEST_F(PortTransportTest, EveryExitReleasesInItsOrderAndReportsOnce) {
    struct Case {
        const char* name;
        PortMode mode;
        const char* port;
        std::function<void()> arrange;
        JobResult result;
        Lines releases;
        bool inputKept;
    };
    const Lines afterPortOpen{"input", "port", "key"};
    const Case cases[] = {
        {"open fails",
         PortMode::Serial,
         "COM1",
         [] { substitute::FailNext("CreateFileA", ERROR_ACCESS_DENIED, 1, 1); },
         JobResult::PortOpenError,
         {"input", "key", "Report done 5,3"},
         true},
        {"GetCommState fails (serial)",
         PortMode::Serial,
         "COM1",
         [] { substitute::FailNext("GetCommState", ERROR_GEN_FAILURE); },
         JobResult::PortSettingsReadError,
         {"input", "port", "key", "Report done 31,4"},
         true},
        {"BaudorIPAddress missing",
         PortMode::Serial,
         "COM1",
         [] { substitute::DeleteRegistryValue(jobtest::kSettingsKey, "BaudorIPAddress"); },
         JobResult::SettingsError,
         {"input", "port", "key", "Report done 2,1"},
         true},
        {"DataBits missing (parallel)",
         PortMode::Parallel,
         "LPT1",
         [] { substitute::DeleteRegistryValue(jobtest::kSettingsKey, "DataBits"); },
         JobResult::SettingsError,
         {"input", "port", "key", "Report done 2,1"},
         true},
        {"Parity missing",
         PortMode::Serial,
         "COM1",
         [] { substitute::DeleteRegistryValue(jobtest::kSettingsKey, "Parity"); },
         JobResult::SettingsError,
         {"input", "port", "key", "Report done 2,1"},
         true},
        {"StopBits missing",
         PortMode::Serial,
         "COM1",
         [] { substitute::DeleteRegistryValue(jobtest::kSettingsKey, "StopBits"); },
         JobResult::SettingsError,
         {"input", "port", "key", "Report done 2,1"},
         true},
        {"SetCommState fails",
         PortMode::Serial,
         "COM1",
         [] { substitute::FailNext("SetCommState", ERROR_GEN_FAILURE); },
         JobResult::PortConfigError,
         {"input", "port", "key", "Report done 31,5"},
         true},
        {"read fails",
         PortMode::Serial,
         "COM1",
         [] { substitute::FailNext("ReadFile", ERROR_READ_FAULT); },
         JobResult::InputFileError,
         {"chunk", "input", "port", "key", "Report done 30,2"},
         true},
        {"write fails",
         PortMode::Serial,
         "COM1",
         [] { substitute::FailNext("WriteFile", ERROR_GEN_FAILURE); },
         JobResult::PortWriteError,
         {"chunk", "input", "port", "key", "Report done 31,6"},
         true},
        {"chunk buffer not available",
         PortMode::Serial,
         "COM1",
         [] { substitute::FailNext("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY); },
         JobResult::InputFileError,
         {"input", "port", "key", "Report done 8,2"},
         true},
        {"done",
         PortMode::Serial,
         "COM1",
         [] {},
         JobResult::Done,
         {"chunk", "input", "port", "delete", "Report done 0,0", "key"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapCommDevice("COM1", device);
        substitute::MapDevice("LPT1", device);
        jobtest::SetPortSettings(c.mode == PortMode::Serial ? "Serial" : "Parallel", c.port);
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        jobtest::WriteBytes(input, "^XA^XZ");
        SetUpPath();
        c.arrange();

        EXPECT_EQ(Run(c.mode, c.port, 1), c.result);

        EXPECT_EQ(Releases(c.port), c.releases);
        EXPECT_EQ(jobtest::CountPrefix(Reports(), "done"), 1);
        EXPECT_EQ(jobtest::Exists(input), c.inputKept);
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
}

TEST_F(PortTransportTest, EmptyInputSendsNothingAndCompletes) {
    jobtest::WriteBytes(input, "");
    SetUpPath();
    EXPECT_EQ(Run(PortMode::Serial, "COM1", 3), JobResult::Done);
    EXPECT_EQ(Reports(), (Lines{"status 123", "range 0:0", "advance 0", "status 124", "done 0,0"}));
    EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "WriteFile"), 0);
    EXPECT_FALSE(jobtest::Exists(input));
}

TEST_F(PortTransportTest, SeventyThousandBytesGoInWholeChunks) {
    std::string label = jobtest::SampleBytes(70000);
    jobtest::WriteBytes(input, label);
    SetUpPath();

    EXPECT_EQ(Run(PortMode::Serial, "COM1", 3), JobResult::Done);

    Lines reports = Reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[1], "range 4464:0");
    EXPECT_EQ(jobtest::CountPrefix(reports, "advance 512"), 136);
    EXPECT_EQ(jobtest::CountPrefix(reports, "advance 368"), 1);
    EXPECT_EQ(jobtest::CountPrefix(reports, "advance"), 138);
    EXPECT_EQ(reports[reports.size() - 3], "advance 0");
    EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "WriteFile device:COM1 512"), 136);
    EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "WriteFile device:COM1 368"), 1);
    EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "WriteFile"), 137);
    EXPECT_EQ(jobtest::ReadBytes(device), label);
}

TEST_F(PortTransportTest, InputNotOpenFailsAtTheFirstReadAfterConfiguringThePort) {
    SetUpPath();
    EXPECT_EQ(Run(PortMode::Serial, "COM1", 3, false), JobResult::InputFileError);
    EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "SetCommState device:COM1"), 1);
    EXPECT_EQ(Reports(), (Lines{"status 123", "range 65535:0", "done 6,2"}));
    EXPECT_EQ(Releases("COM1"), (Lines{"chunk", "port", "key", "Report done 6,2"}));
}

TEST_F(PortTransportTest, ShortWritesAreCompletedBeforeTheNextChunk) {
    std::string label = jobtest::SampleBytes(1300);
    jobtest::WriteBytes(input, label);
    SetUpPath();
    substitute::ScriptWriteCounts({100, 300});

    EXPECT_EQ(Run(PortMode::Serial, "COM1", 1), JobResult::Done);

    EXPECT_EQ(jobtest::CallsStartingWith({"WriteFile"}),
              (Lines{"WriteFile device:COM1 512", "WriteFile device:COM1 412",
                     "WriteFile device:COM1 112", "WriteFile device:COM1 512",
                     "WriteFile device:COM1 276"}));
    EXPECT_EQ(jobtest::ReadBytes(device), label);

    // A device that takes seven bytes at a time still receives everything.
    substitute::LimitWriteSize(7);
    jobtest::WriteBytes(input, label);
    std::filesystem::remove(device);
    EXPECT_EQ(Run(PortMode::Parallel, "LPT1", 1), JobResult::Done);
    EXPECT_EQ(jobtest::ReadBytes(device), label);
}

TEST_F(PortTransportTest, UnpacedCopyWritesLargeBlocksAndCompletesShortWrites) {
    std::string label = jobtest::SampleBytes(70000);
    jobtest::WriteBytes(input, label);
    SetUpPath();
    substitute::ScriptWriteCounts({100, 300});
    delay = 0;

    EXPECT_EQ(Run(PortMode::Serial, "COM1", 1), JobResult::Done);

    EXPECT_EQ(jobtest::CallsStartingWith({"WriteFile"}),
              (Lines{"WriteFile device:COM1 65536", "WriteFile device:COM1 65436",
                     "WriteFile device:COM1 65136", "WriteFile device:COM1 4464"}));
    EXPECT_EQ(Reports(), (Lines{"status 123", "range 4464:0", "advance 65536", "advance 4464",
                                "advance 0", "status 124", "done 0,0"}));
    EXPECT_TRUE(jobtest::ReadBytes(device) == label);
}

TEST_F(PortTransportTest, WriteThatTakesNothingEndsTheJobAndKeepsTheFile) {
    jobtest::WriteBytes(input, jobtest::SampleBytes(600));
    SetUpPath();
    substitute::ScriptWriteCounts({512, 50, 0});

    EXPECT_EQ(Run(PortMode::Serial, "COM1", 1), JobResult::PortWriteError);

    EXPECT_EQ(Reports().back(), "done 29,6");
    EXPECT_EQ(jobtest::ReadBytes(device), jobtest::SampleBytes(562));
    EXPECT_TRUE(jobtest::Exists(input));
    EXPECT_EQ(Releases("COM1"), (Lines{"chunk", "input", "port", "key", "Report done 29,6"}));
}

std::string ExpectedLogBlock(const DCB& d) {
    char block[2048];
    std::snprintf(block, sizeof(block),
                  "Could not apply comm settings.\nBaudRate: %d\nfBinary: %d\nfParity: %d\n"
                  "fOutxCtsFlow: %d\nfOutxDsrFlow: %d\nfDtrControl: %d\nfDsrSensitivity: %d\n"
                  "fTXContinueOnXoff: %d\nfOutX: %d\nfInX: %d\nfErrorChar: %d\nfNull: %d\n"
                  "fRtsControl: %d\nfAbortOnError: %d\nfDummy2: %d\nwReserved: %d\n"
                  "XonLim: %d\nXoffLim: %d\nParity: %d\nStopBits: %d\n",
                  static_cast<int>(d.BaudRate), 1, 1, 0, 1, 2, 0, 1, 1, 1, 0, 1, 0, 1, 0, 0,
                  d.XonLim, d.XoffLim, d.Parity, d.StopBits);
    std::string text = block;
    text += std::string("XonChar: ") + d.XonChar + "\nXoffChar: " + d.XoffChar + "\n";
    text += std::string("ErrorChar: ") + d.ErrorChar + "\nEofChar: " + d.EofChar + "\n";
    text += "EvtChar: ";
    text += d.EvtChar;
    text += "\n";
    return text;
}

TEST_F(PortTransportTest, RefusedSettingsAppendOneLogBlockPerJob) {
    DCB before{};
    before.DCBlength = sizeof(DCB);
    before.fBinary = 1;
    before.fParity = 1;
    before.fOutxDsrFlow = 1;
    before.fDtrControl = 2;
    before.fTXContinueOnXoff = 1;
    before.fNull = 1;
    before.fAbortOnError = 1;
    before.fRtsControl = RTS_CONTROL_TOGGLE;
    before.XonLim = 2048;
    before.XoffLim = 512;
    before.XonChar = 0x11;
    before.XoffChar = 0x13;
    before.ErrorChar = '\0';
    before.EofChar = 0x1A;
    before.EvtChar = 'e';
    jobtest::SetSetting("BaudorIPAddress", "-19200");
    jobtest::SetSetting("Parity", "odd");
    jobtest::SetSetting("StopBits", "2");

    std::string expected;
    for (int job = 0; job < 2; ++job) {
        SCOPED_TRACE(job);
        substitute::SetCommStateOf("COM1", before);
        substitute::FailNext("SetCommState", ERROR_GEN_FAILURE);
        SetUpPath();
        EXPECT_EQ(Run(PortMode::Serial, "COM1", 1), JobResult::PortConfigError);
        DCB applied{};
        ASSERT_TRUE(substitute::LastSetCommState(&applied));
        EXPECT_EQ(static_cast<int>(applied.BaudRate), -19200);
        EXPECT_EQ(applied.Parity, ODDPARITY);
        expected += ExpectedLogBlock(applied);
        EXPECT_EQ(jobtest::ReadBytes(folder / kLogName), expected);
        EXPECT_TRUE(jobtest::Exists(input));
    }
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 52);
}

TEST_F(PortTransportTest, LogThatCannotBeOpenedChangesNothingElse) {
    std::filesystem::create_directory(folder / kLogName);
    substitute::FailNext("SetCommState", ERROR_INVALID_PARAMETER);
    SetUpPath();
    EXPECT_EQ(Run(PortMode::Serial, "COM1", 1), JobResult::PortConfigError);
    EXPECT_EQ(Releases("COM1"), (Lines{"input", "port", "key", "Report done 87,5"}));
    EXPECT_TRUE(std::filesystem::is_directory(folder / kLogName));
}

// Whatever the log and the releases leave as the last error (an existing log file leaves
// "already exists" on Windows; here a release that fails stands in for it), the report
// carries the port's refusal.
TEST_F(PortTransportTest, RefusedSettingsReportThePortsOwnError) {
    jobtest::WriteBytes(folder / kLogName, "an earlier block\n");
    substitute::FailNext("SetCommState", ERROR_INVALID_PARAMETER);
    substitute::FailNext("CloseHandle", ERROR_INVALID_HANDLE);
    SetUpPath();
    EXPECT_EQ(Run(PortMode::Serial, "COM1", 1), JobResult::PortConfigError);
    EXPECT_EQ(Reports(), Lines{"done 87,5"});
    // The scripted failure left the input open.
    ASSERT_EQ(substitute::OpenHandles(), (Lines{"file:" + input}));
    CloseHandle(inputFile);
}

TEST_F(PortTransportTest, PortTextNamingNoDeviceIsAnOrdinaryFile) {
    std::string label = "^XA^FDfile^FS^XZ";
    jobtest::WriteBytes(input, label);
    SetUpPath();
    EXPECT_EQ(Run(PortMode::Serial, "printer-port.txt", 1), JobResult::PortSettingsReadError);
    EXPECT_EQ(Reports().back(), "done 1,4");
    EXPECT_EQ(jobtest::ReadBytes(folder / "printer-port.txt"), "");

    // Parallel mode writes the label into it from its start.
    jobtest::WriteBytes(folder / "printer-port.txt", std::string(40, '#'));
    EXPECT_EQ(Run(PortMode::Parallel, "printer-port.txt", 1), JobResult::Done);
    EXPECT_EQ(jobtest::ReadBytes(folder / "printer-port.txt"),
              label + std::string(40 - label.size(), '#'));
}

// With a time-out in force the port gets a write time-out of that many seconds, and nothing
// else of its time-outs; without one the port's time-outs are not touched. A serial port that
// refuses them fails as a refused setting; a parallel port is written to as it would be.
TEST_F(PortTransportTest, WriteTimeOutIsSetOnlyWithATimeOut) {
    struct Case {
        PortMode mode;
        const char* port;
        int timeout;
        DWORD scripted; // SetCommTimeouts fails with this, 0: the driver's own answer
        DWORD constant; // 0: no SetCommTimeouts call
        JobResult result;
    };
    const Case cases[] = {
        {PortMode::Serial, "COM1", 0, 0, 0, JobResult::Done},
        {PortMode::Serial, "COM1", 5, 0, 5000, JobResult::Done},
        {PortMode::Serial, "COM1", 86400, 0, 86400000, JobResult::Done},
        {PortMode::Serial, "COM1", INT_MAX, 0, 4294967000u, JobResult::Done},
        {PortMode::Serial, "COM1", 5, ERROR_GEN_FAILURE, 5000, JobResult::PortConfigError},
        {PortMode::Parallel, "LPT1", 0, 0, 0, JobResult::Done},
        // A plain file behind LPT1 takes no time-outs (ERROR_INVALID_FUNCTION).
        {PortMode::Parallel, "LPT1", 5, 0, 5000, JobResult::Done},
        {PortMode::Parallel, "LPT1", 5, ERROR_GEN_FAILURE, 5000, JobResult::Done},
    };
    const std::string label = "^XA^FDtime^FS^XZ";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.port) + " " + std::to_string(c.timeout));
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapCommDevice("COM1", device);
        substitute::MapDevice("LPT1", device);
        jobtest::SetPortSettings(c.mode == PortMode::Serial ? "Serial" : "Parallel", c.port);
        jobtest::WriteBytes(device, "");
        jobtest::WriteBytes(input, label);
        SetUpPath();
        if (c.scripted != 0) {
            substitute::FailNext("SetCommTimeouts", c.scripted);
        }
        timeout = c.timeout;
        EXPECT_EQ(Run(c.mode, c.port, 1), c.result);
        COMMTIMEOUTS set{};
        EXPECT_EQ(substitute::LastSetCommTimeouts(&set), c.constant != 0);
        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "SetCommTimeouts"),
                  c.constant != 0 ? 1 : 0);
        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "GetCommTimeouts"), 0);
        EXPECT_EQ(set.WriteTotalTimeoutConstant, c.constant);
        EXPECT_EQ(set.WriteTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(set.ReadIntervalTimeout + set.ReadTotalTimeoutMultiplier +
                      set.ReadTotalTimeoutConstant,
                  0u);
        EXPECT_EQ(jobtest::ReadBytes(device), c.result == JobResult::Done ? label : "");
        EXPECT_EQ(jobtest::Exists(input), c.result != JobResult::Done);
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
    timeout = 0;
}

// A serial printer that sent XOFF takes nothing: with a time-out in force the write ends
// after it as a write failure, the file kept; once it sent XON the same job goes through.
TEST_F(PortTransportTest, StalledSerialWriteEndsAfterTheTimeOut) {
    ptysupport::Pty pty;
    if (!pty.Open()) {
        GTEST_SKIP() << "skip: no pseudo-terminal available here";
    }
    substitute::MapDevice("COM5", pty.slaveName);
    jobtest::SetPortSettings("Serial", "COM5");
    const std::string label = jobtest::SampleBytes(700);
    jobtest::WriteBytes(input, label);
    SetUpPath();
    timeout = 1;
    ASSERT_EQ(write(pty.master, "\x13", 1), 1); // XOFF

    EXPECT_EQ(Run(PortMode::Serial, "COM5", 1), JobResult::PortWriteError);
    EXPECT_EQ(Reports().back(), "done 29,6");
    EXPECT_EQ(jobtest::ReadBytes(input), label);
    pollfd arrived{pty.master, POLLIN, 0};
    EXPECT_EQ(poll(&arrived, 1, 0), 0);
    EXPECT_EQ(Releases("COM5"), (Lines{"chunk", "input", "port", "key", "Report done 29,6"}));

    ASSERT_EQ(write(pty.master, "\x11", 1), 1); // XON
    EXPECT_EQ(Run(PortMode::Serial, "COM5", 1), JobResult::Done);
    EXPECT_EQ(pty.Receive(label.size()), label);
    EXPECT_FALSE(jobtest::Exists(input));
    timeout = 0;
}

} // namespace
