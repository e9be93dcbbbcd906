// Comm state over a real pty: GetCommState / SetCommState reach termios, refused settings
// leave the line as it was, and a serial job delivers its file byte for byte.
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Lines = std::vector<std::string>;

// A pty pair; the test keeps its own descriptor on the slave so that the line is never
// hung up while a job opens and closes it.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slaveName;
    bool Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            return false;
        }
        char name[128] = {};
        if (ptsname_r(master, name, sizeof(name)) != 0) {
            return false;
        }
        slaveName = name;
        slave = open(name, O_RDWR | O_NOCTTY);
        return slave >= 0;
    }
    ~Pty() {
        if (slave >= 0) {
            close(slave);
        }
        if (master >= 0) {
            close(master);
        }
    }
    termios Line() const {
        termios line{};
        tcgetattr(slave, &line);
        return line;
    }
    // Linux ptys force 8 data bits without parity enable whatever is set; a real serial
    // line keeps them. Measured, so that the checks follow the device at hand.
    bool KeepsFraming() const {
        termios line = Line();
        termios saved = line;
        line.c_cflag = (line.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
        tcsetattr(slave, TCSANOW, &line);
        termios probe = Line();
        tcsetattr(slave, TCSANOW, &saved);
        return (probe.c_cflag & CSIZE) == CS7 && (probe.c_cflag & PARENB) != 0;
    }
    // Plays a ZPL printer: answers each "~HS" with `answer` (nothing when empty) and reads
    // until `size` bytes arrived, or ten seconds passed, or the line stayed quiet for `quiet`.
    std::string ReceiveAnswering(const std::string& answer, std::size_t size,
                                 std::chrono::milliseconds quiet) const {
        std::string received;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        auto lastByte = std::chrono::steady_clock::now();
        while (received.size() < size && std::chrono::steady_clock::now() < deadline &&
               std::chrono::steady_clock::now() - lastByte < quiet) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) {
                continue;
            }
            char buffer[4096];
            ssize_t got = read(master, buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            std::size_t from = received.size() > 2 ? received.size() - 2 : 0;
            received.append(buffer, static_cast<std::size_t>(got));
            lastByte = std::chrono::steady_clock::now();
            for (std::size_t at = received.find("~HS", from);
                 !answer.empty() && at != std::string::npos; at = received.find("~HS", at + 3)) {
                EXPECT_EQ(write(master, answer.data(), answer.size()),
                          static_cast<ssize_t>(answer.size()));
            }
        }
        return received;
    }
    // Reads until `size` bytes arrived or ten seconds passed.
    std::string Receive(std::size_t size) const {
        std::string received;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (received.size() < size && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            char buffer[4096];
            ssize_t got = read(master, buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(got));
        }
        return received;
    }
};

class CommPtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        if (!pty.Open()) {
            GTEST_SKIP() << "skip: no pseudo-terminal available here";
        }
        substitute::MapDevice("COM5", pty.slaveName);
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
    HANDLE OpenPort() {
        return CreateFileA("COM5", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    }
    Pty pty;
};

TEST_F(CommPtyTest, SetCommStateAppliesTheLineSettingsToTermios) {
    struct Case {
        DWORD baud;
        BYTE byteSize;
        BYTE parity;
        BYTE stopBits;
        DWORD xon;
        speed_t speed;
        tcflag_t size;
        tcflag_t parityFlags; // PARENB | PARODD | CMSPAR as expected
    };
    const Case cases[] = {
        {9600, 8, NOPARITY, ONESTOPBIT, 1, B9600, CS8, 0},
        {19200, 7, EVENPARITY, TWOSTOPBITS, 0, B19200, CS7, PARENB},
        {115200, 8, ODDPARITY, ONESTOPBIT, 1, B115200, CS8, PARENB | PARODD},
        {2400, 5, MARKPARITY, ONE5STOPBITS, 0, B2400, CS5, PARENB | PARODD | CMSPAR},
        {4800, 6, SPACEPARITY, ONESTOPBIT, 1, B4800, CS6, PARENB | CMSPAR},
    };
    bool framing = pty.KeepsFraming();
    if (!framing) {
        std::cout << "note: this pty keeps 8 data bits and no parity enable; data bits and "
                     "parity enable are checked through GetCommState only\n";
    }
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        dcb.fOutX = c.xon;
        dcb.fInX = c.xon;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.XonLim = 123;
        ASSERT_TRUE(SetCommState(port, &dcb));

        termios line = pty.Line();
        EXPECT_EQ(cfgetospeed(&line), c.speed);
        if (framing) {
            EXPECT_EQ(line.c_cflag & CSIZE, c.size);
            EXPECT_EQ(line.c_cflag & PARENB, c.parityFlags & PARENB);
        }
        EXPECT_EQ(line.c_cflag & (PARODD | CMSPAR), c.parityFlags & (PARODD | CMSPAR));
        EXPECT_EQ((line.c_cflag & CSTOPB) != 0, c.stopBits != ONESTOPBIT);
        EXPECT_EQ((line.c_iflag & IXON) != 0, c.xon == 1);
        EXPECT_EQ((line.c_iflag & IXOFF) != 0, c.xon == 1);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);

        DCB read{};
        ASSERT_TRUE(GetCommState(port, &read));
        EXPECT_EQ(read.BaudRate, c.baud);
        EXPECT_EQ(read.ByteSize, c.byteSize);
        EXPECT_EQ(read.Parity, c.parity);
        EXPECT_EQ(read.StopBits, c.stopBits);
        EXPECT_EQ(read.fOutX, c.xon);
        EXPECT_EQ(read.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
        EXPECT_EQ(read.XonLim, 123);
    }
    CloseHandle(port);
}

TEST_F(CommPtyTest, RefusedSettingsLeaveTheLineAsItWas) {
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB good{};
    ASSERT_TRUE(GetCommState(port, &good));
    good.BaudRate = 9600;
    good.ByteSize = 8;
    ASSERT_TRUE(SetCommState(port, &good));
    termios before = pty.Line();
    struct Case {
        const char* name;
        DWORD baud;
        BYTE byteSize;
        BYTE stopBits;
    };
    const Case cases[] = {
        {"baud 0", 0, 8, ONESTOPBIT},
        {"baud unknown to the line", 12345, 8, ONESTOPBIT},
        {"4 data bits", 9600, 4, ONESTOPBIT},
        {"7 data bits from 263", 9600, static_cast<BYTE>(263 & 0xFF), ONESTOPBIT},
        {"1.5 stop bits with 8 data bits", 9600, 8, ONE5STOPBITS},
        {"2 stop bits with 5 data bits", 9600, 5, TWOSTOPBITS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DCB dcb = good;
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.StopBits = c.stopBits;
        SetLastError(0xdeadbeef);
        BOOL applied = SetCommState(port, &dcb);
        if (c.byteSize == 7) {
            EXPECT_TRUE(applied) << GetLastError();
            EXPECT_TRUE(SetCommState(port, &good));
            continue;
        }
        EXPECT_FALSE(applied);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        termios after = pty.Line();
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    }
    CloseHandle(port);
}

TEST_F(CommPtyTest, NonTerminalsAndBadHandlesHaveNoLineSettings) {
    jobtest::ScratchFolder folder;
    substitute::MapDevice("COM6", folder / "plain");
    HANDLE file = CreateFileA("COM6", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DCB dcb{};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetCommState(file, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    EXPECT_FALSE(SetCommState(file, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(file);
    EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE port = OpenPort();
    substitute::FailNext("GetCommState", ERROR_GEN_FAILURE);
    EXPECT_FALSE(GetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(GetCommState(port, &dcb));
    substitute::FailNext("SetCommState", ERROR_GEN_FAILURE);
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    CloseHandle(port);
}

TEST_F(CommPtyTest, SerialJobDeliversTheFileByteForByte) {
    jobtest::ScratchFolder folder;
    HWND window = jobtest::CreateJournalWindow();
    g_progressWindow = window;
    // Every byte value, line ends and the XON/XOFF characters included.
    std::string label = jobtest::SampleBytes(5000) + "\r\n\x11\x13\x04\x7f";
    std::string input = folder / "label.zpl";
    jobtest::WriteBytes(input, label);
    jobtest::SetPortSettings("Serial", "COM5");
    jobtest::SetSetting("BaudorIPAddress", "19200");
    jobtest::SetSetting("Parity", "even");
    jobtest::PathBuffer path(input);

    HANDLE worker = CreateThread(nullptr, 0, JobWorker, path.text, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    std::string received = pty.Receive(label.size());
    EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
    CloseHandle(worker);

    EXPECT_EQ(received.size(), label.size());
    EXPECT_TRUE(received == label);
    EXPECT_EQ(jobtest::Reports(window).back(), "done 0,0");
    EXPECT_FALSE(jobtest::Exists(input));
    termios line = pty.Line();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    if (pty.KeepsFraming()) {
        EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | PARODD), static_cast<tcflag_t>(CS8 | PARENB));
    }
    DCB passed{};
    ASSERT_TRUE(substitute::LastSetCommState(&passed));
    EXPECT_EQ(passed.Parity, EVENPARITY);
    EXPECT_NE(line.c_iflag & IXON, 0u);
    EXPECT_NE(line.c_iflag & IXOFF, 0u);
    substitute::DestroyTestWindow(window);
    g_progressWindow = nullptr;
}

// A serial job with CheckStatus "1" opens the port for reading too, asks "~HS" after the
// line settings and before the first label byte, and reads the answer through the pty.
TEST_F(CommPtyTest, SerialJobAsksThePrinterForItsStatus) {
    auto answer = [](char paperOut, char headUp) {
        return std::string("\x02") + "030," + paperOut + ",0,1245,000,0,0,0,000,0,0,0" +
               "\x03\r\n\x02" + "001,0," + headUp + ",0,1,2,6,0,00000000,1,000" + "\x03\r\n\x02" +
               "1234,0\x03\r\n";
    };
    const struct {
        const char* name;
        std::string answer; // empty: silent
        std::string done;
        bool labelSent;
    } cases[] = {
        {"paper out", answer('1', '0'), "done 1,15", false},
        {"head open", answer('0', '1'), "done 4,15", false},
        {"ready", answer('0', '0'), "done 0,0", true},
        {"silent", "", "done 0,0", true},
    };
    std::string label = jobtest::SampleBytes(1500);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        jobtest::ScratchFolder folder;
        HWND window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        std::string input = folder / "label.zpl";
        jobtest::WriteBytes(input, label);
        jobtest::SetPortSettings("Serial", "COM5");
        jobtest::SetSetting("CheckStatus", "1");
        jobtest::PathBuffer path(input);
        substitute::ClearCallLog();

        HANDLE worker = CreateThread(nullptr, 0, JobWorker, path.text, 0, nullptr);
        ASSERT_NE(worker, nullptr);
        std::string expected = "~HS" + (c.labelSent ? label : std::string());
        std::string received =
            pty.ReceiveAnswering(c.answer, expected.size(), std::chrono::seconds(10));
        EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
        CloseHandle(worker);
        // Anything the job wrote beyond what was expected.
        received += pty.ReceiveAnswering("", SIZE_MAX, std::chrono::milliseconds(200));

        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << received.substr(0, 8);
        EXPECT_EQ(jobtest::Reports(window).back(), c.done);
        EXPECT_EQ(jobtest::Exists(input), !c.labelSent);
        const auto log = substitute::CallLog();
        EXPECT_NE(std::find(log.begin(), log.end(), "SetCommTimeouts device:COM5"), log.end());
        EXPECT_TRUE(substitute::OpenHandles().empty());
        substitute::RemoveWindow(window);
        g_progressWindow = nullptr;
    }
}

} // namespace
