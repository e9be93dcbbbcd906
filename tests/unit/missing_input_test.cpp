// A label that is not there, with a printer named on the command line or in quiet mode: the
// input-file failure with the open's own code, whatever the browser-cache fallback found,
// and nothing opened towards the printer. Without either, the job goes on as it always has.
#include "core/job_request.h"
#include "platform/testing.h"
#include "transport/driver_transport.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Calls that reach towards a printer of any kind.
const Lines kTowardsPrinter = {"CreateMutexA",    "WSAStartup",      "socket",
                               "CreateFileA LPT", "CreateFileA COM", "SetDefaultPrinterA",
                               "OpenPrinterA",    "PrintDlgA"};

enum class Cache { KeyAbsent, ValueAbsent, Present };

class MissingInputTest : public ::testing::Test {
  protected:
    void SetUp() override { window = jobtest::StartJobTest(); }
    void TearDown() override {
        g_jobOptions = {};
        EXPECT_TRUE(substitute::JoinThreads());
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
        substitute::Reset();
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
};

TEST_F(MissingInputTest, MissingLabelWithATargetOrQuietIsTheInputFailure) {
    const struct {
        const char* name;
        TargetKind target;
        bool quiet;
    } jobs[] = {
        {"--printer socket://", TargetKind::Socket, false},
        {"--printer driver:", TargetKind::Driver, false},
        {"--printer parallel:", TargetKind::Parallel, false},
        {"--printer raw:", TargetKind::RawQueue, true},
        {"-q, stored USB", TargetKind::Stored, true},
        {"-q, stored TCP/IP", TargetKind::Stored, true},
    };
    for (const auto& job : jobs) {
        for (Cache cache : {Cache::KeyAbsent, Cache::ValueAbsent, Cache::Present}) {
            SCOPED_TRACE(std::string(job.name) + ", cache " +
                         std::to_string(static_cast<int>(cache)));
            substitute::Reset();
            substitute::UseVirtualClock(true);
            substitute::DestroyTestWindow(window);
            window = jobtest::CreateJournalWindow();
            g_progressWindow = window;
            substitute::InstallPrinter("Zebra", "USB001");
            substitute::SetDefaultPrinterName("Zebra");
            jobtest::SetPortSettings(
                std::string(job.name).find("USB") != std::string::npos ? "USB" : "TCP/IP", "Zebra");
            jobtest::SetSetting("BaudorIPAddress", "127.0.0.1");
            if (cache == Cache::ValueAbsent) {
                substitute::SetRegistryString(jobtest::kShellFoldersKey, "Other", "x");
            } else if (cache == Cache::Present) {
                substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", folder / "cache");
            }
            g_jobOptions = {};
            g_jobOptions.quiet = job.quiet;
            g_jobOptions.target.kind = job.target;
            std::snprintf(g_jobOptions.target.name, sizeof g_jobOptions.target.name, "LPT1");
            std::snprintf(g_jobOptions.target.host, sizeof g_jobOptions.target.host, "127.0.0.1");
            g_jobOptions.target.port = 9;
            // The path has the cache marker, so the fallback rebuilds it where it can.
            jobtest::PathBuffer path(folder / "old\\Content.IE5\\label.zpl");

            EXPECT_EQ(JobWorker(path.text), static_cast<DWORD>(JobResult::InputFileError));
            EXPECT_EQ(jobtest::Reports(window),
                      (Lines{"status 120", "status 121",
                             "done " + std::to_string(ERROR_FILE_NOT_FOUND) + ",2"}));
            EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "CreateFileA"), 3);
            EXPECT_TRUE(jobtest::CallsStartingWith(kTowardsPrinter).empty())
                << ::testing::PrintToString(jobtest::CallsStartingWith(kTowardsPrinter));
            EXPECT_EQ(substitute::OpenHandles(), Lines{});
        }
    }
}

// Neither a target nor -q: as before, a cache folder that cannot be read is a settings
// failure, and a label that is still missing fails at the transport's first read.
TEST_F(MissingInputTest, WithoutTargetOrQuietTheOldWayStays) {
    const struct {
        Cache cache;
        DWORD result;
        std::string done;
    } cases[] = {
        {Cache::KeyAbsent, 1, "done " + std::to_string(ERROR_FILE_NOT_FOUND) + ",1"},
        {Cache::ValueAbsent, 1, "done " + std::to_string(ERROR_FILE_NOT_FOUND) + ",1"},
        {Cache::Present, 2, "done " + std::to_string(ERROR_INVALID_HANDLE) + ",2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.cache));
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        substitute::MapDevice("LPT1", folder / "printer.out");
        jobtest::SetPortSettings("Parallel", "LPT1");
        if (c.cache == Cache::ValueAbsent) {
            substitute::SetRegistryString(jobtest::kShellFoldersKey, "Other", "x");
        } else if (c.cache == Cache::Present) {
            substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", folder / "cache");
        }
        g_jobOptions = {};
        jobtest::PathBuffer path(folder / "label.zpl");
        EXPECT_EQ(JobWorker(path.text), c.result);
        EXPECT_EQ(jobtest::Reports(window).back(), c.done);
        // The stored job opened its port before the read failed.
        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "CreateFileA LPT1"),
                  c.cache == Cache::Present ? 1 : 0);
        EXPECT_TRUE(substitute::JoinThreads());
    }
}

} // namespace
