// The turn of network ("ipMutex") and driver jobs held by another instance: a quiet job, or
// one with a time-out, waits at most its time-out on the virtual clock and ends as a printer
// not reached, file kept, nothing opened towards the printer, its mutex handle closed; a job
// a user watches without a time-out waits until the turn comes.
#include "core/job_request.h"
#include "platform/testing.h"
#include "transport/driver_transport.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <chrono>
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

struct JobThread {
    char path[kPathBufferSize];
    DWORD result = 0xFFFFFFFFu;
};

DWORD WINAPI RunWorker(LPVOID parameter) {
    auto* job = static_cast<JobThread*>(parameter);
    job->result = JobWorker(job->path);
    return job->result;
}

class JobTurnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        AllowDefaultPrinterSwap();
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
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

// Without -q and without a time-out the job waits as long as the turn takes.
TEST_F(JobTurnTest, WatchedJobWithoutATimeoutWaitsUntilTheTurnComes) {
    for (bool network : {true, false}) {
        const std::string mutex = network ? "ipMutex" : "TagwrightDriverJob";
        SCOPED_TRACE(mutex);
        substitute::ClearCallLog();
        jobtest::WriteBytes(input, kLabel);
        NameTarget(network, false, -1);
        HANDLE other = CreateMutexA(nullptr, FALSE, mutex.c_str());
        ASSERT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0);
        JobThread job{};
        std::snprintf(job.path, sizeof job.path, "%s", input.c_str());
        DWORD before = GetTickCount();
        HANDLE thread = CreateThread(nullptr, 0, RunWorker, &job, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        bool waiting = false;
        for (int i = 0; i < 500 && !waiting; ++i) {
            waiting = jobtest::CountPrefix(substitute::CallLog(),
                                           "WaitForSingleObject mutex:" + mutex) == 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(waiting);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT) << "still waiting";
        EXPECT_EQ(GetTickCount(), before) << "a wait without a limit is no polled wait";
        ReleaseMutex(other);
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
        CloseHandle(other);
        // The turn came: the job went on to its printer (nothing listens on the loopback
        // port; the label printer prints).
        if (network) {
            EXPECT_GE(jobtest::CountPrefix(substitute::CallLog(), "connect"), 1);
            EXPECT_NE(job.result, static_cast<DWORD>(JobResult::Done));
        } else {
            EXPECT_EQ(job.result, static_cast<DWORD>(JobResult::Done));
            ASSERT_EQ(substitute::PrintedDocuments().size(), 1u);
            EXPECT_EQ(substitute::PrintedDocuments()[0].printer, kLabelPrinter);
        }
        EXPECT_TRUE(substitute::JoinThreads());
    }
}

} // namespace
