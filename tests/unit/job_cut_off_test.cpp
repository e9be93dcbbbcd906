// A job cut off while it runs: Escape, WM_CLOSE or the end of the session reaches a job that
// is mid-copy, closing, done or slow to end, and the record, the exit code and the label file
// agree with what the job really did; and each transport, asked to stop, sends nothing more.
#include "core/file_names.h"
#include "core/transport_job.h"
#include "launcher/job_records.h"
#include "launcher/progress_window.h"
#include "launcher/run_loop.h"
#include "platform/testing.h"
#include "tests/support/scratch_folder.h"
#include "transport/driver_transport.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class CutOffBy { Escape, Close, SessionEnd };
enum class Moment { MidCopy, MidClose, AfterDone, WaitRunsOut };

constexpr DWORD kBlock = 16;
const std::string kLabel(4 * kBlock, 'L'); // four blocks

std::mutex g_mutex;
CutOffBy g_by = CutOffBy::Close;
Moment g_moment = Moment::MidCopy;
std::string g_sent;                 // what reached the printer
std::vector<std::string> g_records; // the results recorded
std::vector<int> g_recordedExitCodes;

bool Recorded() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return !g_records.empty();
}

void RecordForTest(const FinishedJob* job, const char* /*resultPath*/) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records.emplace_back(job->result);
    g_recordedExitCodes.push_back(job->exitCode);
}

// The cut-off as it reaches the window while the worker runs. A user's Escape and a WM_CLOSE
// are taken before the worker goes on; the end of the session is posted, and the worker goes
// on once the window has asked it to stop.
void CutOffFromWorker(HWND window) {
    switch (g_by) {
    case CutOffBy::Escape:
        EXPECT_TRUE(substitute::PressEscape(window));
        break;
    case CutOffBy::Close:
        SendMessageA(window, WM_CLOSE, 0, 0);
        break;
    case CutOffBy::SessionEnd:
        EXPECT_TRUE(PostMessageA(window, WM_ENDSESSION, TRUE, 0));
        for (int i = 0; i < 10000 && !JobStopRequested(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        break;
    }
    EXPECT_TRUE(JobStopRequested());
}

// The same cut-off on the window's own thread, once the job has ended.
void CutOffOnWindowThread(HWND window) {
    if (g_by == CutOffBy::SessionEnd) {
        ProgressWindow(window, WM_ENDSESSION, TRUE, 0);
    } else {
        ProgressWindow(window, WM_COMMAND, IDCANCEL, 0);
    }
}

bool PrinterTakes(void* channel, const char* chunk, DWORD count) {
    auto* window = static_cast<HWND>(channel);
    bool secondBlock = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_sent.append(chunk, count);
        secondBlock = g_sent.size() == 2 * kBlock;
    }
    if (secondBlock && g_moment == Moment::MidCopy) {
        CutOffFromWorker(window);
    }
    return true;
}

// A transport in small: the copy loop to a printer that takes every block, a close, then the
// input deleted and the end reported, as every transport ends.
DWORD WINAPI CopyingWorker(LPVOID pathBuffer) {
    const char* path = static_cast<const char*>(pathBuffer);
    HWND window = g_progressWindow;
    HANDLE input = OpenInputByName(path);
    char* chunk = nullptr;
    CopyOutcome outcome = JobCopyLoop(input, window, PrinterTakes, window, &chunk, kBlock);
    ReleaseChunkBuffer(&chunk);
    CloseJobInput(&input);
    if (outcome != CopyOutcome::Completed) {
        ReportDone(window, GetLastError(), JobResult::PortWriteError);
        return static_cast<DWORD>(JobResult::PortWriteError);
    }
    if (g_moment == Moment::MidClose || g_moment == Moment::WaitRunsOut) {
        CutOffFromWorker(window);
    }
    // A close that takes longer than the window waits: pauses of the virtual clock until the
    // launcher has recorded the job.
    for (int i = 0; g_moment == Moment::WaitRunsOut && i < 10000 && !Recorded(); ++i) {
        Sleep(500);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    DeleteJobInput(path);
    ReportDone(window, 0, JobResult::Done);
    return 0;
}

class JobCutOffTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
        substitute::SubstituteThreadRoutine(CopyingWorker);
        g_recordFinishedJob = RecordForTest;
        std::lock_guard<std::mutex> lock(g_mutex);
        g_sent.clear();
        g_records.clear();
        g_recordedExitCodes.clear();
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
        ResetJobCutOff();
        g_jobOptions = JobOptions{};
        g_recordFinishedJob = RecordFinishedJob;
    }
    scratch::ScratchFolder folder;
};

TEST_F(JobCutOffTest, RecordAndFileFollowWhatTheJobDid) {
    const struct {
        CutOffBy by;
        Moment moment;
        int exitCode;
        const char* result;
        bool fileKept;
        size_t sent;
    } cases[] = {
        // Stopped at the next block: cancelled, the file kept.
        {CutOffBy::Close, Moment::MidCopy, 10, "cancelled", true, 2 * kBlock},
        {CutOffBy::SessionEnd, Moment::MidCopy, 10, "cancelled", true, 2 * kBlock},
        {CutOffBy::Escape, Moment::MidCopy, 1, "cancelled", true, 2 * kBlock},
        // The label was taken whole: the job ends as it would have, and says so.
        {CutOffBy::Close, Moment::MidClose, 1, "printed", false, 4 * kBlock},
        {CutOffBy::SessionEnd, Moment::MidClose, 1, "printed", false, 4 * kBlock},
        {CutOffBy::Escape, Moment::MidClose, 1, "printed", false, 4 * kBlock},
        {CutOffBy::Close, Moment::AfterDone, 1, "printed", false, 4 * kBlock},
        {CutOffBy::SessionEnd, Moment::AfterDone, 1, "printed", false, 4 * kBlock},
        {CutOffBy::Escape, Moment::AfterDone, 1, "printed", false, 4 * kBlock},
        // A job that does not end within the wait is given up, and then deletes nothing.
        {CutOffBy::Close, Moment::WaitRunsOut, 10, "cancelled", true, 4 * kBlock},
        {CutOffBy::SessionEnd, Moment::WaitRunsOut, 10, "cancelled", true, 4 * kBlock},
        {CutOffBy::Escape, Moment::WaitRunsOut, 1, "cancelled", true, 4 * kBlock},
    };
    const char* byNames[] = {"Escape", "WM_CLOSE", "WM_ENDSESSION"};
    const char* momentNames[] = {"mid-copy", "mid-close", "after done", "wait runs out"};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(byNames[static_cast<int>(c.by)]) + ", " +
                     momentNames[static_cast<int>(c.moment)]);
        TearDown();
        SetUp();
        g_by = c.by;
        g_moment = c.moment;
        std::string label = folder / "label.zpl";
        scratch::WriteBytes(label, kLabel);
        if (c.moment == Moment::AfterDone) {
            substitute::OnMessageHandled([](HWND dialog, int, UINT message, WPARAM, LPARAM) {
                if (message == WM_JOB_DONE) {
                    CutOffOnWindowThread(dialog);
                }
            });
        }
        LaunchOptions options = {};
        options.job.quiet = c.by != CutOffBy::Escape;
        std::snprintf(options.path, sizeof options.path, "%s", label.c_str());
        EXPECT_EQ(RunLaunchOptions(nullptr, &options), c.exitCode);
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(scratch::Exists(label), c.fileKept);
        std::lock_guard<std::mutex> lock(g_mutex);
        EXPECT_EQ(g_records, std::vector<std::string>{c.result});
        EXPECT_EQ(g_recordedExitCodes, std::vector<int>{c.exitCode});
        EXPECT_EQ(g_sent.size(), c.sent);
    }
}

// Each transport asked to stop before its first block: nothing reaches the printer (the
// driver draws nothing and abandons its document), the file stays, everything is released
// and the one end reported says the job was cancelled.
TEST(JobStopTest, EveryTransportStopsBeforeItsNextBlock) {
    jobtest::ScratchFolder folder;
    substitute::Reset();
    substitute::UseVirtualClock(true);
    AllowDefaultPrinterSwap();
    const std::string device = folder / "device.out";
    substitute::MapCommDevice("COM1", device);
    substitute::MapDevice("LPT1", device);
    substitute::InstallPrinter("Office Laser", "LPT2:");
    substitute::InstallPrinter("Zebra ZP 450", "USB001");
    substitute::SetDefaultPrinterName("Office Laser");
    unsigned short listener = substitute::StartLoopbackListener();
    ASSERT_NE(listener, 0);
    const struct {
        TargetKind kind;
        const char* name;
        JobResult result;
    } cases[] = {
        {TargetKind::Serial, "COM1", JobResult::PortWriteError},
        {TargetKind::Parallel, "LPT1", JobResult::PortWriteError},
        {TargetKind::RawQueue, "Zebra ZP 450", JobResult::QueueWriteError},
        {TargetKind::Driver, "Zebra ZP 450", JobResult::Done},
        {TargetKind::Socket, "127.0.0.1", JobResult::PortWriteError},
    };
    HWND window = jobtest::CreateJournalWindow();
    g_progressWindow = window;
    const std::string input = folder / "label.zpl";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PrinterTarget target{};
        target.kind = c.kind;
        std::snprintf(target.name, sizeof target.name, "%s", c.name);
        std::snprintf(target.host, sizeof target.host, "%s", c.name);
        target.port = listener;
        target.baudRate = 9600;
        target.dataBits = 8;
        target.parity = NOPARITY;
        target.stopBits = ONESTOPBIT;
        g_jobOptions = JobOptions{};
        g_jobOptions.target = target;
        jobtest::WriteBytes(device, "");
        jobtest::WriteBytes(input, kLabel);
        jobtest::PathBuffer path(input);
        substitute::ClearCallLog();
        ResetJobCutOff();
        RequestJobStop();
        EXPECT_EQ(JobWorker(path.text), static_cast<DWORD>(c.result));
        EXPECT_EQ(jobtest::ReadBytes(input), kLabel);
        EXPECT_EQ(jobtest::ReadBytes(device), "");
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
        EXPECT_EQ(jobtest::CallsStartingWith({"TextOutA", "Report done"}),
                  std::vector<std::string>{"Report done " + std::to_string(ERROR_CANCELLED) + "," +
                                           std::to_string(static_cast<int>(c.result))});
        EXPECT_EQ(substitute::DefaultPrinter(), "Office Laser");
    }
    for (const substitute::PrintedDocument& document : substitute::PrintedDocuments()) {
        EXPECT_EQ(document.state, substitute::DocumentState::Aborted);
        EXPECT_EQ(document.bytes, "");
    }
    EXPECT_EQ(substitute::PrintedDocuments().size(), 2u);
    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    EXPECT_EQ(substitute::ReceivedConnections()[0].bytes, "");
    substitute::DestroyTestWindow(window);
    g_progressWindow = nullptr;
    g_jobOptions = JobOptions{};
    ResetJobCutOff();
    substitute::Reset();
}

} // namespace
