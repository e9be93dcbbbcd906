// A serial job over a real pty delivers its file byte for byte, with the stored line settings.
#include "core/job_request.h"
#include "transport/job_worker.h"
#include "transport/printer_status.h"

#include "job_journal.h"
#include "tests/support/pty_pair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <termios.h>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using ptysupport::Pty;

class SerialPtyJobTest : public ::testing::Test {
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
    Pty pty;
};

TEST_F(SerialPtyJobTest, SerialJobDeliversTheFileByteForByte) {
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

// A serial job with CheckStatus "1" opens the port for reading too, asks "~HQES~HS" after
// the line settings and before the first label byte, and reads the answers through the pty:
// an older printer's host status, or a current one's error report while "~HS" stays silent.
TEST_F(SerialPtyJobTest, SerialJobAsksThePrinterForItsStatus) {
    auto answer = [](char paperOut, char headUp) {
        return std::string("\x02") + "030," + paperOut + ",0,1245,000,0,0,0,000,0,0,0" +
               "\x03\r\n\x02" + "001,0," + headUp + ",0,1,2,6,0,00000000,1,000" + "\x03\r\n\x02" +
               "1234,0\x03\r\n";
    };
    auto errors = [](const char* flagAndGroups) {
        return std::string("\x02\r\n PRINTER STATUS\r\n ERRORS: ") + flagAndGroups +
               "\r\n WARNINGS: 0 00000000 00000000\r\n\x03\r\n";
    };
    const struct {
        const char* name;
        std::string answer; // empty: silent
        std::string errors; // empty: silent
        std::string done;
        bool labelSent;
    } cases[] = {
        {"paper out", answer('1', '0'), "", "done 1,15", false},
        {"head open", answer('0', '1'), "", "done 4,15", false},
        {"ready", answer('0', '0'), "", "done 0,0", true},
        {"silent", "", "", "done 0,0", true},
        {"media out, current firmware", "", errors("1 00000000 00000001"), "done 16,15", false},
        {"no error, ready", answer('0', '0'), errors("0 00000000 00000000"), "done 0,0", true},
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
        std::string expected = kStatusQueries + (c.labelSent ? label : std::string());
        std::string received =
            pty.ReceiveAnswering(c.answer, expected.size(), std::chrono::seconds(10), c.errors);
        EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
        CloseHandle(worker);
        // Anything the job wrote beyond what was expected.
        received += pty.ReceiveAnswering("", SIZE_MAX, std::chrono::milliseconds(200));

        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << received.substr(0, 8);
        EXPECT_EQ(jobtest::Reports(window).back(), c.done);
        EXPECT_EQ(jobtest::Exists(input), !c.labelSent);
        // The records name what the printer said: a refusal's reasons, nothing when silent.
        EXPECT_EQ(g_jobOutcome.printer.reported, !c.answer.empty() || !c.errors.empty());
        EXPECT_EQ(g_jobOutcome.printer.reasons != 0, !c.labelSent);
        const auto log = substitute::CallLog();
        EXPECT_NE(std::find(log.begin(), log.end(), "SetCommTimeouts device:COM5"), log.end());
        EXPECT_TRUE(substitute::OpenHandles().empty());
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
    }
}

// A serial job with Confirm stored opens the port for reading too and, after the last label
// byte, asks "~HS" on the same line (and "~HQES" when that stays silent); a port opened for
// writing only could not read the answers. A label the printer has is deleted whatever it
// then reports.
TEST_F(SerialPtyJobTest, SerialJobAsksForConfirmationAfterTheLabel) {
    const std::string ready = std::string("\x02") + "030,0,0,1245,000,0,0,0,000,0,0,0" +
                              "\x03\r\n\x02" + "001,0,0,0,1,2,6,0,00000000,1,000" + "\x03\r\n\x02" +
                              "1234,0\x03\r\n";
    const std::string mediaOut = "\x02\r\n PRINTER STATUS\r\n ERRORS: 1 00000000 00000001\r\n"
                                 " WARNINGS: 0 00000000 00000000\r\n\x03\r\n";
    const struct {
        const char* name;
        const char* confirm;
        std::string answer; // empty: silent
        std::string errors; // empty: silent
        std::string queries;
        std::string done;
        Confirmed confirmed;
    } cases[] = {
        {"printed", "printed", ready, "", "~HS", "done 0,0", Confirmed::Printed},
        {"held, media out", "RECEIVED", "", mediaOut, "~HS~HQES", "done 16,16",
         Confirmed::Received},
        {"unconfirmed, silent", "received", "", "", "~HS~HQES", "done 1,17", Confirmed::No},
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
        jobtest::SetSetting("Confirm", c.confirm);
        jobtest::PathBuffer path(input);
        substitute::ClearCallLog();

        HANDLE worker = CreateThread(nullptr, 0, JobWorker, path.text, 0, nullptr);
        ASSERT_NE(worker, nullptr);
        std::string expected = label + c.queries;
        std::string received =
            pty.ReceiveAnswering(c.answer, expected.size(), std::chrono::seconds(10), c.errors);
        EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
        CloseHandle(worker);
        received += pty.ReceiveAnswering("", SIZE_MAX, std::chrono::milliseconds(200));

        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << received.substr(label.size());
        EXPECT_EQ(jobtest::Reports(window).back(), c.done);
        EXPECT_FALSE(jobtest::Exists(input));
        EXPECT_EQ(static_cast<int>(g_jobOutcome.confirmed), static_cast<int>(c.confirmed));
        EXPECT_TRUE(substitute::OpenHandles().empty());
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
    }
}

} // namespace
