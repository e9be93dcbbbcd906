// The watched folder: its file rules, the claim race of two watchers, the recovery of
// printing\, the back-off while the printer is away, stopping, and the launcher's --watch with
// real jobs to a loopback printer.
#include "launcher/job_records.h"
#include "launcher/run_loop.h"
#include "platform/testing.h"
#include "tests/support/scratch_folder.h"
#include "watch/folder_rules.h"
#include "watch/watch_names.h"
#include "watch/watched_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::wstring Wide(const std::string& utf8) {
    std::wstring wide(utf8.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(),
                                static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return wide;
}

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A stand-in for the launcher's job: records each file it was given and ends as scripted.
struct FakeJobs {
    std::mutex lock;
    std::vector<std::string> sent;                        // "name:contents"
    std::vector<DWORD> ticks;                             // GetTickCount as each job started
    std::map<std::string, std::vector<JobResult>> script; // by file name; then Done
    std::function<void(int calls)> during;                // runs inside each job
    static JobResult Run(void* context, char* path, const char* resultPath, char* message,
                         bool* cutOff) {
        auto* jobs = static_cast<FakeJobs*>(context);
        std::string posixPath = path;
        std::replace(posixPath.begin(), posixPath.end(), '\\', '/');
        std::string posixResult = resultPath;
        std::replace(posixResult.begin(), posixResult.end(), '\\', '/');
        std::string name = fs::path(posixPath).filename().string();
        JobResult result = JobResult::Done;
        int calls = 0;
        {
            std::lock_guard<std::mutex> guard(jobs->lock);
            jobs->sent.push_back(name + ":" + scratch::ReadBytes(posixPath));
            jobs->ticks.push_back(GetTickCount());
            std::vector<JobResult>& left = jobs->script[name];
            if (!left.empty()) {
                result = left.front();
                left.erase(left.begin());
            }
            calls = static_cast<int>(jobs->sent.size());
        }
        if (result != JobResult::Done) {
            snprintf(message, kTextBufferSize, "scripted %d", static_cast<int>(result));
            scratch::WriteBytes(posixResult, "{\"result\":\"failed\"}");
        }
        if (jobs->during) {
            jobs->during(calls);
        }
        *cutOff = false;
        return result;
    }
};

// What a presence heard.
struct Heard {
    std::mutex lock;
    std::vector<WatchState> states;
    std::vector<std::string> failed;
    int unreachable = 0;
    bool ended = false;
};
Heard* g_heard = nullptr;

bool StartListening(HINSTANCE, const char*, HANDLE, WatchPresence* presence) {
    presence->context = g_heard;
    presence->statusChanged = [](void* context, const WatchStatus* status) {
        auto* heard = static_cast<Heard*>(context);
        std::lock_guard<std::mutex> guard(heard->lock);
        heard->states.push_back(status->state);
    };
    presence->fileFailed = [](void* context, const char* name, const char* reason) {
        auto* heard = static_cast<Heard*>(context);
        std::lock_guard<std::mutex> guard(heard->lock);
        heard->failed.push_back(std::string(name) + ": " + reason);
    };
    presence->printerUnreachable = [](void* context, const char*) {
        ++static_cast<Heard*>(context)->unreachable;
    };
    return true;
}

void EndListening(WatchPresence* presence) {
    static_cast<Heard*>(presence->context)->ended = true;
}

class WatchedFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        folder = scratch / "labels";
        fs::create_directory(folder);
        g_heard = &heard;
    }
    void TearDown() override {
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
        g_heard = nullptr;
    }
    WatchRequest Request(bool keep = false) {
        WatchRequest request{};
        request.folder = folder.c_str();
        request.keep = keep;
        request.runJob = FakeJobs::Run;
        request.jobContext = &jobs;
        request.presenceStart = StartListening;
        request.presenceEnd = EndListening;
        return request;
    }
    // Stops the folder's watchers once `done` holds, within ten seconds of real time.
    void StopWhen(const std::function<bool()>& done) {
        for (int i = 0; i < 5000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(done()) << "the watchers did not get there in time";
        EXPECT_EQ(StopWatchedFolder(folder.c_str()), kWatchEnded);
    }
    std::string At(const std::string& sub) const { return folder + "/" + sub; }
    // Runs a watcher on this thread; one that has not ended after ten seconds of real time is
    // stopped, and the test fails.
    int Watch(const WatchRequest& request) {
        std::mutex lock;
        std::condition_variable ended;
        bool done = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> guard(lock);
            if (!ended.wait_for(guard, std::chrono::seconds(10), [&] { return done; })) {
                ADD_FAILURE() << "the watcher did not end by itself";
                StopWatchedFolder(folder.c_str());
            }
        });
        int code = RunWatchedFolder(&request);
        {
            std::lock_guard<std::mutex> guard(lock);
            done = true;
        }
        ended.notify_all();
        watchdog.join();
        return code;
    }

    scratch::ScratchFolder scratch;
    std::string folder;
    FakeJobs jobs;
    Heard heard;
};

TEST(FolderRules, NamesStabilityAndOrder) {
    struct NameCase {
        const wchar_t* name;
        bool taken;
    };
    const NameCase names[] = {
        {L"label.zpl", true},   {L"LABEL", true},      {L".label.zpl", false},
        {L"~label.zpl", false}, {L"a.tmp", false},     {L"a.TMP", false},
        {L"a.part", false},     {L"a.Partial", false}, {L"a.crdownload", false},
        {L"a.download", false}, {L"a.tmp.zpl", true},  {L"tmp", true},
        {L"printing", false},   {L"Printed", false},   {L"FAILED", false},
        {L"failed.zpl", true},  {L"札.zpl", true},     {L"", false},
    };
    for (const NameCase& c : names) {
        EXPECT_EQ(IsWatchedName(c.name), c.taken) << fs::path(c.name).string();
    }

    // Each scan's look, in order: tick, size, last write, then whether the file is settled.
    struct Look {
        DWORD now;
        unsigned long long size;
        unsigned long long written;
        bool settled;
    };
    const Look looks[] = {
        {0, 10, 1, false},         {999, 10, 1, false},  {1000, 10, 1, true},
        {1200, 11, 1, false},      {2199, 11, 1, false}, {2200, 11, 1, true},
        {2300, 11, 2, false},      {3300, 11, 2, true},  {0xFFFFFF00u, 5, 9, false},
        {0x000002E8u, 5, 9, true}, // across the clock's wrap
    };
    FileSighting sighting{10, 1, 0, 0};
    for (const Look& look : looks) {
        NoteSighting(&sighting, look.size, look.written, look.now);
        EXPECT_EQ(SightingSettled(&sighting), look.settled) << "at " << look.now;
    }

    EXPECT_TRUE(SendsBefore(5, L"b", 6, L"a"));  // older first
    EXPECT_FALSE(SendsBefore(6, L"a", 5, L"b")); // whatever the name
    EXPECT_TRUE(SendsBefore(5, L"a", 5, L"b"));  // then by name
    EXPECT_TRUE(SendsBefore(5, L"a", 5, L"ab"));
    EXPECT_FALSE(SendsBefore(5, L"a", 5, L"a"));
}

TEST(FolderRules, ScansFindSettledFilesOldestFirst) {
    substitute::Reset();
    scratch::ScratchFolder scratch;
    auto now = fs::file_time_type::clock::now();
    const std::pair<const char*, int> files[] = {
        {"b.zpl", 0}, {"a.zpl", 0}, {"c.zpl", -10}, {".d.zpl", -20}, {"e.part", -20}};
    for (const auto& [name, age] : files) {
        scratch::WriteBytes(scratch / name, "^XA^XZ");
        fs::last_write_time(scratch / name, now + std::chrono::seconds(age));
    }
    fs::create_directory(scratch / "f.zpl");
    WaitingFiles list{};
    ASSERT_TRUE(OpenWaitingFiles(&list));
    std::wstring folder = Wide(scratch.path.string());
    ASSERT_TRUE(ScanFolder(folder.c_str(), &list, 100));
    EXPECT_EQ(list.count, 3);
    EXPECT_EQ(NextSettled(&list), -1);
    EXPECT_EQ(UntilSettleCheck(&list, 400, 2000), 700u);
    scratch::WriteBytes(scratch / "b.zpl", "^XA^FDlonger^XZ"); // still being written
    ASSERT_TRUE(ScanFolder(folder.c_str(), &list, 1100));
    std::vector<std::string> order;
    for (int next = NextSettled(&list); next >= 0; next = NextSettled(&list)) {
        order.push_back(fs::path(list.files[next].name).string());
        DropWaitingFile(&list, next);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"c.zpl", "a.zpl"}));
    EXPECT_EQ(list.count, 1); // b.zpl, which changed, waits for its own quiet second
    std::wstring missing = folder + L"/nothing";
    EXPECT_FALSE(ScanFolder(missing.c_str(), &list, 1200));
    CloseWaitingFiles(&list);
    EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
}

TEST(FolderRules, OneFolderHasOneNameWhateverItsSpelling) {
    char mutexA[kWatchObjectNameSize], stopA[kWatchObjectNameSize];
    char mutexB[kWatchObjectNameSize], stopB[kWatchObjectNameSize];
    WatchObjectNames(L"C:\\Labels\\Äpfel", mutexA, stopA);
    WatchObjectNames(L"c:\\LABELS\\äPFEL", mutexB, stopB);
    EXPECT_STREQ(mutexA, mutexB);
    EXPECT_STREQ(stopA, stopB);
    EXPECT_STRNE(mutexA, stopA);
    WatchObjectNames(L"C:\\Labels2", mutexB, stopB);
    EXPECT_STRNE(mutexA, mutexB);
}

TEST_F(WatchedFolderTest, TwoWatchersRacingSendEachFileOnce) {
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i) {
        scratch::WriteBytes(At("label" + std::to_string(i) + ".zpl"), std::to_string(i));
    }
    WatchRequest request = Request();
    request.withoutFolderMutex = true;
    request.presenceStart = nullptr;
    int ended[2] = {0, 0};
    std::thread first([&] { ended[0] = RunWatchedFolder(&request); });
    std::thread second([&] { ended[1] = RunWatchedFolder(&request); });
    StopWhen([&] {
        std::lock_guard<std::mutex> guard(jobs.lock);
        return FilesIn(folder).empty() && FilesIn(At("printing")).empty() &&
               jobs.sent.size() >= kFiles;
    });
    first.join();
    second.join();
    EXPECT_EQ(ended[0], kWatchEnded);
    EXPECT_EQ(ended[1], kWatchEnded);
    std::vector<std::string> sent = jobs.sent;
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(std::adjacent_find(sent.begin(), sent.end()), sent.end()) << "a file went twice";
    EXPECT_EQ(sent.size(), static_cast<std::size_t>(kFiles));
}

TEST_F(WatchedFolderTest, FilesLeftInPrintingGoToFailedUnsent) {
    fs::create_directory(At("printing"));
    fs::create_directory(At("failed"));
    scratch::WriteBytes(At("printing/a.zpl"), "A");
    scratch::WriteBytes(At("printing/b.zpl"), "B");
    scratch::WriteBytes(At("failed/a.zpl"), "an older a.zpl");
    scratch::WriteBytes(At("c.zpl"), "C");
    jobs.during = [this](int) { StopWatchedFolder(folder.c_str()); };
    WatchRequest request = Request();
    EXPECT_EQ(Watch(request), kWatchEnded);
    EXPECT_EQ(jobs.sent, std::vector<std::string>{"c.zpl:C"});
    EXPECT_EQ(FilesIn(At("printing")), std::vector<std::string>{});
    EXPECT_EQ(FilesIn(At("failed")), (std::vector<std::string>{"a (2).zpl", "a (2).zpl.json",
                                                               "a.zpl", "b.zpl", "b.zpl.json"}));
    EXPECT_EQ(scratch::ReadBytes(At("failed/a (2).zpl")), "A");
    std::string record = scratch::ReadBytes(At("failed/b.zpl.json"));
    EXPECT_NE(record.find("\"message\":\"interrupted: it may have been printed\""),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\\\\failed\\\\b.zpl\""), std::string::npos) << record;
    EXPECT_EQ(heard.failed.size(), 2u);
    EXPECT_TRUE(heard.ended);
}

TEST_F(WatchedFolderTest, FailedFileGoesToFailedWithItsResultAndTheNextPrints) {
    auto now = fs::file_time_type::clock::now();
    scratch::WriteBytes(At("a.zpl"), "A");
    scratch::WriteBytes(At("b.zpl"), "B");
    fs::last_write_time(At("a.zpl"), now - std::chrono::seconds(5));
    jobs.script["a.zpl"] = {JobResult::InputFileError};
    jobs.during = [this](int calls) {
        if (calls == 2) {
            StopWatchedFolder(folder.c_str());
        }
    };
    WatchRequest request = Request(true);
    EXPECT_EQ(Watch(request), kWatchEnded);
    EXPECT_EQ(jobs.sent, (std::vector<std::string>{"a.zpl:A", "b.zpl:B"}));
    EXPECT_EQ(FilesIn(At("failed")), (std::vector<std::string>{"a.zpl", "a.zpl.json"}));
    EXPECT_EQ(scratch::ReadBytes(At("failed/a.zpl.json")), "{\"result\":\"failed\"}");
    EXPECT_EQ(FilesIn(At("printed")), std::vector<std::string>{"b.zpl"}); // --keep
    EXPECT_EQ(heard.failed, std::vector<std::string>{"a.zpl: scripted 2"});
}

TEST_F(WatchedFolderTest, UnreachablePrinterIsRetriedWithBackOffAndOrderKept) {
    auto now = fs::file_time_type::clock::now();
    const std::pair<const char*, int> files[] = {{"a.zpl", -30}, {"b.zpl", -20}, {"c.zpl", -10}};
    for (const auto& [name, age] : files) {
        scratch::WriteBytes(At(name), name);
        fs::last_write_time(At(name), now + std::chrono::seconds(age));
    }
    jobs.script["a.zpl"] = {JobResult::PortOpenError, JobResult::ReadWriteError,
                            JobResult::PrinterNotReady, JobResult::QueueOpenError,
                            JobResult::PortWriteError};
    jobs.during = [this](int calls) {
        if (calls == 2) {
            EXPECT_EQ(FilesIn(At("printing")), std::vector<std::string>{"a.zpl"});
        }
        if (calls == 8) {
            StopWatchedFolder(folder.c_str());
        }
    };
    WatchRequest request = Request();
    EXPECT_EQ(Watch(request), kWatchEnded);
    std::vector<std::string> names;
    for (const std::string& sent : jobs.sent) {
        names.push_back(sent.substr(0, sent.find(':')));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a.zpl", "a.zpl", "a.zpl", "a.zpl", "a.zpl", "a.zpl",
                                               "b.zpl", "c.zpl"}));
    std::vector<DWORD> pauses;
    for (std::size_t i = 1; i < 6 && i < jobs.ticks.size(); ++i) {
        pauses.push_back(jobs.ticks[i] - jobs.ticks[i - 1]);
    }
    EXPECT_EQ(pauses, (std::vector<DWORD>{5000, 10000, 20000, 60000, 60000}));
    EXPECT_EQ(heard.unreachable, 1); // once for the whole spell
    EXPECT_NE(std::find(heard.states.begin(), heard.states.end(), WatchState::Retrying),
              heard.states.end());
    EXPECT_EQ(heard.states.back(), WatchState::Watching);
    EXPECT_EQ(FilesIn(folder), std::vector<std::string>{});
    EXPECT_EQ(FilesIn(At("failed")), std::vector<std::string>{});
}

TEST_F(WatchedFolderTest, JobEndsDecideTheFilesFate) {
    struct Case {
        JobResult result;
        JobTransport transport;
        WatchedEnd end;
    };
    const Case cases[] = {
        {JobResult::Done, JobTransport::Network, WatchedEnd::Sent},
        {JobResult::PrinterUnconfirmed, JobTransport::Network, WatchedEnd::Sent},
        {JobResult::PrinterHeld, JobTransport::SerialPort, WatchedEnd::Held},
        {JobResult::InputFileError, JobTransport::None, WatchedEnd::FileFailed},
        {JobResult::SettingsError, JobTransport::None, WatchedEnd::FileFailed},
        {JobResult::InitFileError, JobTransport::None, WatchedEnd::FileFailed},
        {JobResult::PortConfigError, JobTransport::SerialPort, WatchedEnd::FileFailed},
        {JobResult::PortConfigError, JobTransport::Network, WatchedEnd::PrinterFailed},
        {JobResult::PortSettingsReadError, JobTransport::Driver, WatchedEnd::PrinterFailed},
        {JobResult::PortOpenError, JobTransport::ParallelPort, WatchedEnd::PrinterFailed},
        {JobResult::ReadWriteError, JobTransport::Driver, WatchedEnd::PrinterFailed},
        {JobResult::QueueOpenError, JobTransport::RawQueue, WatchedEnd::PrinterFailed},
        {JobResult::PrinterNotReady, JobTransport::Network, WatchedEnd::PrinterFailed},
        {static_cast<JobResult>(-1), JobTransport::None, WatchedEnd::FileFailed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyJobEnd(c.result, c.transport), c.end)
            << static_cast<int>(c.result) << " by " << static_cast<int>(c.transport);
    }
}

TEST_F(WatchedFolderTest, StopMidJobEndsAfterTheFileInHand) {
    auto now = fs::file_time_type::clock::now();
    scratch::WriteBytes(At("a.zpl"), "A");
    scratch::WriteBytes(At("b.zpl"), "B");
    fs::last_write_time(At("a.zpl"), now - std::chrono::seconds(5));
    jobs.during = [this](int) { EXPECT_EQ(StopWatchedFolder(folder.c_str()), kWatchEnded); };
    WatchRequest request = Request();
    EXPECT_EQ(Watch(request), kWatchEnded);
    EXPECT_EQ(jobs.sent, std::vector<std::string>{"a.zpl:A"});
    EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"b.zpl"});
    EXPECT_EQ(FilesIn(At("printing")), std::vector<std::string>{});
    EXPECT_EQ(StopWatchedFolder(folder.c_str()), kWatchNoWatcher);
}

TEST_F(WatchedFolderTest, StopWhileTheFileWaitsForItsPrinterPutsItBack) {
    scratch::WriteBytes(At("a.zpl"), "A");
    jobs.script["a.zpl"] = {JobResult::PortOpenError, JobResult::PortOpenError};
    jobs.during = [this](int) { StopWatchedFolder(folder.c_str()); };
    EXPECT_EQ(Watch(Request()), kWatchEnded);
    EXPECT_EQ(jobs.sent, std::vector<std::string>{"a.zpl:A"});
    EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"a.zpl"}); // to be taken again
    EXPECT_EQ(FilesIn(At("printing")), std::vector<std::string>{});
    EXPECT_EQ(FilesIn(At("failed")), std::vector<std::string>{});
}

TEST_F(WatchedFolderTest, SecondWatcherOfTheFolderEndsAtOnce) {
    std::atomic<bool> running{false};
    WatchRequest first = Request();
    first.presenceStart = [](HINSTANCE, const char*, HANDLE, WatchPresence* presence) {
        presence->context = g_heard;
        return true;
    };
    first.presenceEnd = nullptr;
    jobs.during = nullptr;
    int firstEnded = 0;
    std::thread watcher([&] {
        running = true;
        firstEnded = RunWatchedFolder(&first);
    });
    // The first holds the folder once its subfolders are there.
    for (int i = 0; i < 5000 && !fs::exists(At("failed")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    WatchRequest second = Request();
    std::string spelledOtherwise = folder + "/./";
    second.folder = spelledOtherwise.c_str();
    EXPECT_EQ(RunWatchedFolder(&second), kWatchAlreadyWatched);
    EXPECT_TRUE(heard.states.empty()); // the second showed nothing
    EXPECT_EQ(StopWatchedFolder(folder.c_str()), kWatchEnded);
    watcher.join();
    EXPECT_EQ(firstEnded, kWatchEnded);
    EXPECT_EQ(jobs.sent, std::vector<std::string>{});
}

TEST_F(WatchedFolderTest, AfterAHeldLabelNothingIsSentUntilThePrinterIsReady) {
    const std::string ready = "\x02"
                              "030,0,0,1245,000,0,0,0,000,0,0,0\x03\r\n\x02"
                              "001,0,0,0,1,2,6,0,00000000,1,000\x03\r\n\x02"
                              "1234,0\x03\r\n";
    std::string paperOut = ready;
    paperOut[5] = '1';
    for (bool comesBack : {false, true}) {
        SCOPED_TRACE(comesBack ? "the printer comes back" : "the printer stays out of paper");
        jobs.sent.clear();
        jobs.ticks.clear();
        heard.states.clear();
        unsigned short port = substitute::StartLoopbackListener();
        ASSERT_NE(port, 0);
        substitute::RedirectConnections(port);
        substitute::AnswerHostStatus(comesBack ? ready : paperOut);
        auto now = fs::file_time_type::clock::now();
        scratch::WriteBytes(At("a.zpl"), "A");
        scratch::WriteBytes(At("b.zpl"), "B");
        fs::last_write_time(At("a.zpl"), now - std::chrono::seconds(5));
        jobs.script["a.zpl"] = {JobResult::PrinterHeld};
        jobs.during = [&](int calls) {
            if (calls == 1) {
                snprintf(g_jobOutcome.target, sizeof g_jobOutcome.target, "%s",
                         "socket://10.0.0.5:9100");
            } else {
                StopWatchedFolder(folder.c_str());
            }
        };
        std::thread stopper;
        if (!comesBack) {
            stopper = std::thread([&] {
                EXPECT_TRUE(substitute::WaitForReceivedConnections(3));
                StopWatchedFolder(folder.c_str());
            });
        }
        EXPECT_EQ(Watch(Request()), kWatchEnded);
        if (stopper.joinable()) {
            stopper.join();
        }
        EXPECT_TRUE(substitute::WaitForReceivedConnections(1));
        std::vector<substitute::ReceivedConnection> asks = substitute::ReceivedConnections();
        ASSERT_FALSE(asks.empty());
        EXPECT_EQ(asks[0].bytes, "~HQES~HS");
        EXPECT_NE(
            std::find(heard.states.begin(), heard.states.end(), WatchState::WaitingForPrinter),
            heard.states.end());
        if (comesBack) {
            EXPECT_EQ(asks.size(), 1u);
            EXPECT_EQ(jobs.sent, (std::vector<std::string>{"a.zpl:A", "b.zpl:B"}));
            ASSERT_EQ(jobs.ticks.size(), 2u);
            EXPECT_GE(jobs.ticks[1] - jobs.ticks[0], 5000u); // not before it was asked
        } else {
            EXPECT_GE(asks.size(), 3u);
            EXPECT_EQ(jobs.sent, std::vector<std::string>{"a.zpl:A"});
            EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"b.zpl"});
            fs::remove(At("b.zpl"));
        }
        substitute::StopLoopbackListener();
        substitute::RedirectConnections(0);
    }
}

// The launcher's --watch: real quiet jobs to a loopback printer, a folder and a file whose
// names the ANSI code page cannot spell, and the refusals of the command line.
class WatchLaunchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        g_recordFinishedJob = [](const FinishedJob* job, const char* resultPath) {
            std::lock_guard<std::mutex> guard(g_resultsLock);
            std::string path = job->path;
            std::replace(path.begin(), path.end(), '\\', '/');
            // A watched job's result object is written afterwards, and only for a failed file.
            g_results.push_back(std::string(job->result) + " " +
                                fs::path(path).filename().string() +
                                (resultPath[0] != '\0' ? " with its result" : ""));
            RecordFinishedJob(job, resultPath);
        };
        g_results.clear();
        substitute::SetEnvironmentValue("LOCALAPPDATA", scratch.path.c_str());
    }
    void TearDown() override {
        g_recordFinishedJob = RecordFinishedJob;
        g_jobOptions = JobOptions{};
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
    }
    int Run(const std::string& ansi, const std::wstring& wide) {
        substitute::SetCommandLineW(L"tagwright.exe " + wide);
        std::vector<char> text(ansi.begin(), ansi.end());
        text.push_back('\0');
        return TagwrightMain(nullptr, text.data());
    }
    static std::size_t ResultCount() {
        std::lock_guard<std::mutex> guard(g_resultsLock);
        return g_results.size();
    }
    static std::mutex g_resultsLock;
    static std::vector<std::string> g_results;
    scratch::ScratchFolder scratch;
};
std::mutex WatchLaunchTest::g_resultsLock;
std::vector<std::string> WatchLaunchTest::g_results;

TEST_F(WatchLaunchTest, CommandLinesThatCannotWatch) {
    fs::create_directory(scratch / "labels");
    struct Case {
        const char* line;
        int exitCode;
    };
    const Case cases[] = {
        {"-q --watch labels label.zpl", 2}, {"-q --stop", 2},
        {"-q --keep label.zpl", 2},         {"-q --watch", 2},
        {"-q --watch missing", 3},          {"-q --watch labels --stop", 15},
        {"--watch labels --stop", 0},
    };
    for (const Case& c : cases) {
        std::string line = c.line;
        EXPECT_EQ(Run(line, Wide(line)), c.exitCode) << c.line;
    }
    // Only the last, without -q, told the user, in one box.
    ASSERT_EQ(substitute::MessageBoxes().size(), 1u);
    EXPECT_NE(substitute::MessageBoxes()[0].text.find("No Tagwright watches the folder labels"),
              std::string::npos);
    EXPECT_EQ(FilesIn(scratch.path.string()), std::vector<std::string>{});
}

TEST_F(WatchLaunchTest, WatcherPrintsEachFileOnceThroughRealJobs) {
    unsigned short port = substitute::StartLoopbackListener();
    ASSERT_NE(port, 0);
    substitute::RedirectConnections(port);
    const std::string folder = scratch / "ラベル";
    fs::create_directory(folder);
    auto now = fs::file_time_type::clock::now();
    scratch::WriteBytes(folder + "/札.zpl", "^XA^FD1^XZ");
    scratch::WriteBytes(folder + "/b.zpl", "^XA^FD2^XZ");
    fs::last_write_time(folder + "/札.zpl", now - std::chrono::seconds(5));
    int ended = 0;
    std::thread watcher([&] {
        ended = Run("-q --watch ??? --printer socket://10.0.0.5:9100",
                    L"-q --watch " + Wide(folder) + L" --printer socket://10.0.0.5:9100");
    });
    EXPECT_TRUE(substitute::WaitForReceivedConnections(2));
    for (int i = 0; i < 5000 && !FilesIn(folder).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (int i = 0; i < 5000 && ResultCount() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(StopWatchedFolder(folder.c_str()), kWatchEnded);
    watcher.join();
    EXPECT_EQ(ended, 1);
    std::vector<substitute::ReceivedConnection> received = substitute::ReceivedConnections();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].bytes, "^XA^FD1^XZ");
    EXPECT_EQ(received[1].bytes, "^XA^FD2^XZ");
    EXPECT_EQ(g_results, (std::vector<std::string>{"printed 札.zpl", "printed b.zpl"}));
    EXPECT_EQ(FilesIn(folder), std::vector<std::string>{});
    EXPECT_EQ(FilesIn(folder + "/printing"), std::vector<std::string>{});
    EXPECT_EQ(FilesIn(folder + "/failed"), std::vector<std::string>{});
    substitute::StopLoopbackListener();
}

TEST_F(WatchLaunchTest, FileWithoutSettingsFailsWithItsResultBeside) {
    const std::string folder = scratch / "labels";
    fs::create_directory(folder);
    scratch::WriteBytes(folder + "/a.zpl", "^XA^XZ");
    int ended = 0;
    // No printer named and none stored: the job fails on its settings.
    std::thread watcher(
        [&] { ended = Run("-q --keep --watch labels", L"-q --keep --watch labels"); });
    for (int i = 0; i < 5000 && !fs::exists(folder + "/failed/a.zpl.json"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(StopWatchedFolder(folder.c_str()), kWatchEnded);
    watcher.join();
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(FilesIn(folder + "/failed"), (std::vector<std::string>{"a.zpl", "a.zpl.json"}));
    std::string record = scratch::ReadBytes(folder + "/failed/a.zpl.json");
    EXPECT_EQ(record.rfind("{\"result\":\"failed\",\"exit_code\":4,", 0), 0u) << record;
    EXPECT_EQ(FilesIn(folder + "/printed"), std::vector<std::string>{});
    EXPECT_EQ(g_results, std::vector<std::string>{"failed a.zpl"});
}

} // namespace
