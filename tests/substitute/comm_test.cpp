// Substitute comm state over a real pty: GetCommState / SetCommState reach termios, and
// refused settings leave the line as it was.
#include "platform/testing.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <termios.h>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using ptysupport::Pty;

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
    scratch::ScratchFolder folder;
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

// A write with a total time-out on a line held by XOFF returns TRUE with what went by then,
// as a serial driver does; without write time-outs the write is not timed.
TEST_F(CommPtyTest, WriteTimeOutEndsAWriteTheLineDoesNotTake) {
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = 100;
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    COMMTIMEOUTS read{};
    ASSERT_TRUE(GetCommTimeouts(port, &read));
    EXPECT_EQ(read.WriteTotalTimeoutConstant, 100u);
    ASSERT_EQ(write(pty.master, "\x13", 1), 1); // XOFF; a pty stops its output on it
    DWORD written = 0xdeadbeef;
    EXPECT_TRUE(WriteFile(port, "held", 4, &written, nullptr));
    EXPECT_EQ(written, 0u);
    ASSERT_EQ(write(pty.master, "\x11", 1), 1); // XON
    EXPECT_TRUE(WriteFile(port, "free", 4, &written, nullptr));
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pty.Receive(4), "free");
    timeouts.WriteTotalTimeoutConstant = 0;
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    EXPECT_TRUE(WriteFile(port, "more", 4, &written, nullptr));
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pty.Receive(4), "more");
    CloseHandle(port);
}

} // namespace
