// The turn of network ("ipMutex") and driver jobs held by another instance: a quiet job, or
// one with a time-out, waits at most its time-out on the virtual clock and ends as a printer
// not reached, file kept, nothing opened towards the printer, its mutex handle closed. (A job
// a user watches without a time-out waits until the turn comes: the network and driver
// transport tests of a second job waiting for the first.)
#include "core/job_request.h"
#include "platform/testing.h"
#include "transport/driver_transport.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

constexpr char kLabelPrinter[] = "Zebra ZP450";
constexpr char kOfficePrinter[] = "Office Laser";
constexpr char kLabel[] = "^XA^FDturn^FS^XZ\n";

// Calls that would reach towards a printer. (A quiet driver job reads its printer's ports
// before it waits: that query changes nothing.)
const Lines kTowardsPrinter = {"WSAStartup",         "socket",    "connect",  "GetDefaultPrinterA",
                               "SetDefaultPrinterA", "PrintDlgA", "StartDocA"};

class JobTurnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window = jobtest::StartJobTest();
        input = folder / "label.zpl";
        substitute::InstallPrinter(kOfficePrinter, "LPT1:");
        substitute::InstallPrinter(kLabelPrinter, "USB001");
        substitute::SetDefaultPrinterName(kOfficePrinter);
    }
    void TearDown() override {
        g_jobOptions = {};
        EXPECT_TRUE(substitute::JoinThreads());
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
        substitute::Reset();
    }

    // The job's printer on the command line: a loopback socket where nothing listens, or the
    // label printer through its driver.
    static void NameTarget(bool network, bool quiet, int timeout) {
        g_jobOptions = {};
        g_jobOptions.quiet = quiet;
        if (timeout >= 0) {
            g_jobOptions.timeout = {true, timeout};
        }
        PrinterTarget& target = g_jobOptions.target;
        if (network) {
            target.kind = TargetKind::Socket;
            std::snprintf(target.host, sizeof target.host, "127.0.0.1");
            target.port = 9;
        } else {
            target.kind = TargetKind::Driver;
            std::snprintf(target.name, sizeof target.name, "%s", kLabelPrinter);
        }
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string input;
};

TEST_F(JobTurnTest, HeldTurnIsWaitedForWithinTheJobsTimeout) {
    const struct {
        const char* name;
        bool quiet;
        int timeout; // --timeout; -1: not given
        DWORD wait;  // milliseconds of the wait on the virtual clock
    } cases[] = {
        {"quiet, no time-out given: the quiet default", true, -1, 60000},
        {"quiet, --timeout 0: no job waits for ever unseen", true, 0, 60000},
        {"quiet, --timeout 5", true, 5, 5000},
        {"watched, --timeout 2", false, 2, 2000},
    };
    for (bool network : {true, false}) {
        const std::string mutex = network ? "ipMutex" : "TagwrightDriverJob";
        for (const auto& c : cases) {
            SCOPED_TRACE(mutex + ": " + c.name);
            substitute::ClearCallLog();
            jobtest::WriteBytes(input, kLabel);
            NameTarget(network, c.quiet, c.timeout);
            // Another instance's job holds the turn.
            HANDLE other = CreateMutexA(nullptr, FALSE, mutex.c_str());
            ASSERT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0);
            jobtest::PathBuffer path(input);
            DWORD before = GetTickCount();
            DWORD result = 0;
            std::thread job([&] { result = JobWorker(path.text); });
            job.join();
            EXPECT_EQ(GetTickCount() - before, c.wait);
            ReleaseMutex(other);
            CloseHandle(other);

            EXPECT_EQ(result, static_cast<DWORD>(JobResult::PortConfigError));
            EXPECT_EQ(jobtest::Reports(window).back(),
                      "done " + std::to_string(ERROR_TIMEOUT) + ",5");
            EXPECT_EQ(jobtest::ReadBytes(input), kLabel) << "the file is kept";
            EXPECT_TRUE(jobtest::CallsStartingWith(kTowardsPrinter).empty())
                << ::testing::PrintToString(jobtest::CallsStartingWith(kTowardsPrinter));
            EXPECT_EQ(jobtest::CallsStartingWith(
                          {"ReleaseMutex mutex:" + mutex, "CloseHandle mutex:" + mutex}),
                      (Lines{"CloseHandle mutex:" + mutex, "ReleaseMutex mutex:" + mutex,
                             "CloseHandle mutex:" + mutex}))
                << "the job closes its handle without releasing a turn it never had";
            EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
            EXPECT_TRUE(substitute::OpenHandles().empty())
                << ::testing::PrintToString(substitute::OpenHandles());
        }
    }
}

} // namespace
