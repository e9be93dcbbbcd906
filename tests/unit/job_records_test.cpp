// The result file and the job log: the JSON text, the file whole or absent whichever step
// fails, the log line's fields, the move of a full log, a log that cannot be written, and
// writers taking turns.
#include "launcher/job_records.h"

#include "platform/testing.h"
#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using Lines = std::vector<std::string>;

constexpr std::int64_t kUtcNoon = 1796735007; // 2026-12-08T13:03:27Z
constexpr char kTarget[] = "socket://10.0.0.5:9100";
constexpr char kSessionMutexName[] = "Local\\TagwrightJobLog";
// The turn every session of the user shares.
std::string UserMutexName() {
    return "Global\\TagwrightJobLog-" + substitute::UserSidText();
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<unterminated>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) {
        fields.push_back(field);
    }
    return fields;
}

class JobRecordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        ASSERT_FALSE(folder.path.empty());
        local = folder / "local";
        std::filesystem::create_directory(local);
        substitute::SetEnvironmentValue("LOCALAPPDATA", local.c_str());
        substitute::FixWallClock(kUtcNoon, 60);
        g_jobOutcome = JobOutcome{};
        std::snprintf(g_jobOutcome.target, sizeof g_jobOutcome.target, "%s", kTarget);
        g_jobOutcome.bytesAccepted = 123456789012ull;
        resultPath = folder / "result.json";
        logPath = local + "/Tagwright/jobs.log";
        oldLogPath = logPath + ".1";
    }
    void TearDown() override {
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        g_jobOutcome = JobOutcome{};
        substitute::Reset();
    }

    // Names in the folder of the result file other than the ones a test made.
    std::set<std::string> Leftovers() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path)) {
            std::string name = entry.path().filename().string();
            if (name != "local" && name != "result.json") {
                names.insert(name);
            }
        }
        return names;
    }

    FinishedJob Job(const char* result = "failed", const char* path = "C:\\labels\\a.zpl") const {
        return FinishedJob{result, 7, 10061, "Connection refused", path, false, 4321};
    }

    scratch::ScratchFolder folder;
    std::string local;
    std::string resultPath;
    std::string logPath;
    std::string oldLogPath;
};

TEST_F(JobRecordsTest, ResultFileIsOneJsonObjectWithItsTextsEscapedAsUtf8) {
    struct Case {
        const char* name;
        const char* message;
        const char* path;
        bool utf8Path;
        const char* messageJson;
        const char* fileJson;
    };
    const Case cases[] = {
        {"quotes and Windows paths", "Say \"no\" to C:\\temp", "C:\\labels\\a \"b\".zpl", false,
         R"("Say \"no\" to C:\\temp")", R"("C:\\labels\\a \"b\".zpl")"},
        {"control characters", "one\r\ntwo\tthree\x01\x1f\x7f", "C:\\x.zpl", false,
         R"("one\u000d\u000atwo\u0009three\u0001\u001f)"
         "\x7f\"",
         R"("C:\\x.zpl")"},
        {"ANSI name and message", "Caf\xe9 ferm\xe9", "C:\\\xe9t\xe9.zpl", false,
         "\"Caf\xc3\xa9 ferm\xc3\xa9\"", "\"C:\\\\\xc3\xa9t\xc3\xa9.zpl\""},
        {"UTF-8 name and message",
         "\xe6\x9c\xad \"\xe3\x83\xa9\" \\\n", // a CJK name, quoted, a backslash, a line end
         "D:\\\xe3\x83\xa9\xe3\x83\x99\xe3\x83\xab\\\xe6\x9c\xad.zpl", true,
         "\"\xe6\x9c\xad \\\"\xe3\x83\xa9\\\" \\\\\\u000a\"",
         "\"D:\\\\\xe3\x83\xa9\xe3\x83\x99\xe3\x83\xab\\\\\xe6\x9c\xad.zpl\""},
        {"no message", "", "C:\\x.zpl", false, "\"\"", R"("C:\\x.zpl")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FinishedJob job{"failed", 7, 10061, c.message, c.path, c.utf8Path, 4321};
        // The printer's words are escaped as the other texts are.
        job.confirmed = "received";
        job.printer = "media \"out\", 2 labels remaining";
        RecordFinishedJob(&job, resultPath.c_str());
        EXPECT_EQ(
            scratch::ReadBytes(resultPath),
            std::string("{\"result\":\"failed\",\"exit_code\":7,\"error\":10061,\"message\":") +
                c.messageJson + ",\"file\":" + c.fileJson +
                ",\"target\":\"socket://10.0.0.5:9100\",\"bytes\":123456789012,"
                "\"milliseconds\":4321,\"confirmed\":\"received\","
                "\"printer\":\"media \\\"out\\\", 2 labels remaining\",\"settings\":\"\"}\r\n");
        EXPECT_EQ(Leftovers(), std::set<std::string>{});
    }
}

TEST_F(JobRecordsTest, ResultFileIsWholeOrLeftAsItWasWhicheverStepFails) {
    // The log takes the same calls after the result file: without it they are the file's.
    substitute::SetEnvironmentValue("LOCALAPPDATA", nullptr);
    struct Case {
        const char* name;
        const char* failingCall; // "" for a short write, nullptr for none
        bool written;
    };
    const Case cases[] = {
        {"no memory for the record", "HeapAlloc", false},
        {"temporary file cannot be made", "CreateFileW", false},
        {"write fails", "WriteFile", false},
        {"write takes part of the text", "", false},
        {"flush fails", "FlushFileBuffers", false},
        {"rename fails", "MoveFileExW", false},
        {"nothing fails", nullptr, true},
    };
    const std::string old = "{\"result\":\"printed\"}\r\n";
    for (bool earlier : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (earlier ? ", an older file there" : ""));
            std::filesystem::remove(resultPath);
            if (earlier) {
                scratch::WriteBytes(resultPath, old);
            }
            if (c.failingCall != nullptr && c.failingCall[0] != '\0') {
                substitute::FailNext(c.failingCall, ERROR_DISK_FULL);
            } else if (c.failingCall != nullptr) {
                substitute::ScriptWriteCounts({10});
            }
            FinishedJob job = Job();
            RecordFinishedJob(&job, resultPath.c_str());

            std::string now = scratch::Exists(resultPath) ? scratch::ReadBytes(resultPath) : "";
            if (c.written) {
                EXPECT_EQ(now.rfind("{\"result\":\"failed\",", 0), 0u) << now;
            } else {
                EXPECT_EQ(now, earlier ? old : "");
                EXPECT_EQ(scratch::Exists(resultPath), earlier);
            }
            EXPECT_EQ(Leftovers(), std::set<std::string>{});
            EXPECT_EQ(substitute::OpenHandles(), Lines{});
            substitute::Reset();
            substitute::SetEnvironmentValue("LOCALAPPDATA", nullptr);
        }
    }
}

TEST_F(JobRecordsTest, LogLineHoldsTheJobsFieldsInOrder) {
    const std::string present = folder / "present.zpl";
    const std::string gone = folder / "gone.zpl";
    struct Case {
        const char* name;
        std::int64_t utc;
        int offsetMinutes;
        const char* result;
        std::string path;
        unsigned long long recordedSize;
        const char* time;
        const char* size;
    };
    const Case cases[] = {
        {"file kept", kUtcNoon, 60, "failed", present, 0, "2026-12-08T14:03:27+01:00", "5"},
        {"printed file deleted", kUtcNoon, -330, "printed", gone, 700, "2026-12-08T07:33:27-05:30",
         "700"},
        {"empty printed file deleted", kUtcNoon, 0, "printed", gone, 0, "2026-12-08T13:03:27+00:00",
         "0"},
        {"missing from the start", 1709251199, 60, "failed", gone, 0, "2024-03-01T00:59:59+01:00",
         "-"},
        {"a day ahead of UTC", kUtcNoon, 14 * 60, "cancelled", gone, 300,
         "2026-12-09T03:03:27+14:00", "300"},
    };
    scratch::WriteBytes(present, "12345");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(logPath);
        substitute::FixWallClock(c.utc, c.offsetMinutes);
        g_jobOutcome.inputSize = c.recordedSize;
        FinishedJob job{c.result, 1, 64, "", c.path.c_str(), false, 98765};
        // The printer's fields come last; a job that has none reads "no" and "".
        bool printed = std::string(c.result) == "printed";
        job.confirmed = printed ? "closed" : nullptr;
        job.printer = printed ? "media out\t1 label remaining" : nullptr;
        RecordFinishedJob(&job, "");
        EXPECT_EQ(scratch::ReadBytes(logPath),
                  std::string(c.time) + "\t" + c.path + "\t" + c.size + "\t" + kTarget +
                      "\t123456789012\t" + c.result + "\t64\t98765\t" +
                      (printed ? "closed\tmedia out 1 label remaining" : "no\t") + "\r\n");
    }
    EXPECT_FALSE(scratch::Exists(resultPath)) << "no result file was asked for";
}

TEST_F(JobRecordsTest, LogShowsNamesInUtf8OnOneLine) {
    struct Case {
        const char* path;
        bool utf8Path;
        const char* shown;
    };
    const Case cases[] = {
        {"C:\\\xe9t\xe9.zpl", false, "C:\\\xc3\xa9t\xc3\xa9.zpl"},
        {"D:\\\xe6\x9c\xad.zpl", true, "D:\\\xe6\x9c\xad.zpl"},
        {"C:\\a\tb\r\nc.zpl", false, "C:\\a b  c.zpl"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        std::filesystem::remove(logPath);
        FinishedJob job{"failed", 3, 2, "", c.path, c.utf8Path, 1};
        RecordFinishedJob(&job, "");
        Lines lines = SplitLines(scratch::ReadBytes(logPath));
        ASSERT_EQ(lines.size(), 1u);
        Lines fields = Fields(lines[0]);
        // The last field, the printer's state, is empty: the split drops it.
        ASSERT_EQ(fields.size(), 9u) << lines[0];
        EXPECT_EQ(fields[1], c.shown);
    }
}

TEST_F(JobRecordsTest, FullLogMovesToTheOldLogBeforeTheLineIsAdded) {
    constexpr std::size_t kMiB = 1024 * 1024;
    struct Case {
        const char* name;
        std::size_t size;
        bool moves;
    };
    const Case cases[] = {
        {"one byte under 1 MiB", kMiB - 1, false},
        {"at 1 MiB", kMiB, true},
        {"over 1 MiB", kMiB + 1, true},
    };
    std::filesystem::create_directory(local + "/Tagwright");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before(c.size, 'x');
        scratch::WriteBytes(logPath, before);
        scratch::WriteBytes(oldLogPath, "older\r\n");
        FinishedJob job = Job();
        RecordFinishedJob(&job, "");
        std::string log = scratch::ReadBytes(logPath);
        std::string old = scratch::ReadBytes(oldLogPath);
        if (c.moves) {
            EXPECT_EQ(old.size(), before.size());
            EXPECT_TRUE(old == before);
            EXPECT_EQ(SplitLines(log).size(), 1u);
            EXPECT_EQ(log.rfind("2026-12-08T14:03:27+01:00\t", 0), 0u);
        } else {
            EXPECT_EQ(old, "older\r\n");
            ASSERT_GT(log.size(), before.size());
            EXPECT_TRUE(log.compare(0, before.size(), before) == 0);
            EXPECT_EQ(log.substr(before.size(), 26), "2026-12-08T14:03:27+01:00\t");
        }
    }
}

TEST_F(JobRecordsTest, LogThatCannotBeWrittenLeavesTheJobAlone) {
    struct Case {
        const char* name;
        const char* localAppData; // nullptr: not set
        const char* failingCall;
        bool lockedByAnotherHandle;
        bool logWritten;
    };
    const std::string missing = folder / "no-such-folder";
    const Case cases[] = {
        {"no LOCALAPPDATA", nullptr, nullptr, false, false},
        {"empty LOCALAPPDATA", "", nullptr, false, false},
        {"LOCALAPPDATA missing", missing.c_str(), nullptr, false, false},
        {"folder cannot be made", local.c_str(), "CreateDirectoryW", false, false},
        {"log open elsewhere without sharing", local.c_str(), nullptr, true, false},
        {"log cannot be opened", local.c_str(), "CreateFileW", false, false},
        {"no turn to be had", local.c_str(), "CreateMutexA", false, true},
        {"the wait for the turn fails", local.c_str(), "WaitForSingleObject", false, true},
    };
    std::filesystem::create_directory(local + "/Tagwright");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(logPath);
        std::filesystem::remove(resultPath);
        substitute::SetEnvironmentValue("LOCALAPPDATA", c.localAppData);
        HANDLE locked = INVALID_HANDLE_VALUE;
        if (c.lockedByAnotherHandle) {
            scratch::WriteBytes(logPath, "");
            locked =
                CreateFileA(logPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(locked, INVALID_HANDLE_VALUE);
        }
        if (c.failingCall != nullptr) {
            // The result file takes its CreateFileW first.
            int skip = std::strcmp(c.failingCall, "CreateFileW") == 0 ? 1 : 0;
            substitute::FailNext(c.failingCall, ERROR_ACCESS_DENIED, 1, skip);
        }
        FinishedJob job = Job();
        SetLastError(ERROR_BROKEN_PIPE);
        RecordFinishedJob(&job, resultPath.c_str());

        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE)) << "the job's own code";
        EXPECT_EQ(scratch::ReadBytes(resultPath).rfind("{\"result\":\"failed\",", 0), 0u)
            << "the result file is written all the same";
        std::string log = scratch::Exists(logPath) ? scratch::ReadBytes(logPath) : "";
        EXPECT_EQ(SplitLines(log).size(), c.logWritten ? 1u : 0u) << log;
        EXPECT_FALSE(scratch::Exists(missing + "/Tagwright"));
        if (locked != INVALID_HANDLE_VALUE) {
            CloseHandle(locked);
        }
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
}

TEST_F(JobRecordsTest, WriterWithoutItsTurnAppendsItsLineButLeavesAFullLogInPlace) {
    std::filesystem::create_directory(local + "/Tagwright");
    const std::string full(1024 * 1024, 'x');
    scratch::WriteBytes(logPath, full);
    std::mutex lock;
    std::condition_variable changed;
    bool held = false;
    bool done = false;
    // Another instance's writer holds the turn until this one has finished.
    std::thread holder([&] {
        HANDLE turn = CreateMutexA(nullptr, FALSE, UserMutexName().c_str());
        DWORD wait = WaitForSingleObject(turn, INFINITE);
        EXPECT_EQ(wait, WAIT_OBJECT_0);
        {
            std::lock_guard<std::mutex> guard(lock);
            held = true;
        }
        changed.notify_all();
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::seconds(30), [&] { return done; });
        ReleaseMutex(turn);
        CloseHandle(turn);
    });
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return held; }));
    }
    substitute::UseVirtualClock(true);
    DWORD ticksBefore = GetTickCount();
    auto started = std::chrono::steady_clock::now();
    FinishedJob job = Job();
    RecordFinishedJob(&job, "");
    auto spent = std::chrono::steady_clock::now() - started;
    DWORD waited = GetTickCount() - ticksBefore;
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    changed.notify_all();
    holder.join();

    EXPECT_LT(spent, std::chrono::seconds(10)) << "the wait for the turn is bounded";
    EXPECT_EQ(waited, 300u) << "the log waits at most 300 ms for its turn";
    std::string log = scratch::ReadBytes(logPath);
    ASSERT_GT(log.size(), full.size());
    EXPECT_EQ(SplitLines(log.substr(full.size())).size(), 1u);
    EXPECT_FALSE(scratch::Exists(oldLogPath));
}

// The turn is named after the user, for every session; a user whose SID cannot be had, or
// whose global name cannot be created, takes the session's turn; the line is written always.
TEST_F(JobRecordsTest, LogTurnIsSharedByEverySessionOfTheUser) {
    const std::string global = "CreateMutexA " + UserMutexName();
    const std::string session = std::string("CreateMutexA ") + kSessionMutexName;
    const struct {
        const char* failingCall; // nullptr: none
        Lines mutexes;
    } cases[] = {
        {nullptr, {global}},
        {"OpenProcessToken", {session}},
        {"GetTokenInformation", {session}},
        {"ConvertSidToStringSidA", {session}},
        {"CreateMutexA", {global, session}},
    };
    std::filesystem::create_directory(local + "/Tagwright");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failingCall != nullptr ? c.failingCall : "none");
        std::filesystem::remove(logPath);
        if (c.failingCall != nullptr) {
            substitute::FailNext(c.failingCall, ERROR_ACCESS_DENIED);
        }
        substitute::ClearCallLog();
        FinishedJob job = Job();
        RecordFinishedJob(&job, "");
        Lines created;
        for (const std::string& call : substitute::CallLog()) {
            if (call.rfind("CreateMutexA", 0) == 0) {
                created.push_back(call);
            }
        }
        EXPECT_EQ(created, c.mutexes);
        EXPECT_EQ(SplitLines(scratch::ReadBytes(logPath)).size(), 1u);
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
}

TEST_F(JobRecordsTest, LinesOfWritersAtTheSameTimeStayWhole) {
    constexpr int kWriters = 2;
    constexpr int kJobsEach = 150;
    // Long names, so that a line split between two writes would show.
    std::string names[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        names[w] = "C:\\" + std::string(1500, static_cast<char>('a' + w)) + ".zpl";
    }
    std::atomic<int> ready{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            ++ready;
            while (ready.load() < kWriters) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kJobsEach; ++i) {
                FinishedJob job{
                    "printed", 1, 0, "", names[w].c_str(), false, static_cast<DWORD>(i)};
                RecordFinishedJob(&job, "");
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    Lines lines = SplitLines(scratch::ReadBytes(logPath));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kWriters * kJobsEach));
    int seen[kWriters] = {};
    for (const std::string& line : lines) {
        Lines fields = Fields(line);
        // The last field, the printer's state, is empty: the split drops it.
        ASSERT_EQ(fields.size(), 9u) << line.substr(0, 80);
        int writer = fields[1] == names[0] ? 0 : fields[1] == names[1] ? 1 : -1;
        ASSERT_NE(writer, -1) << "a name mixed with another: " << fields[1].substr(0, 80);
        // Each writer's lines come in its own order.
        EXPECT_EQ(fields[7], std::to_string(seen[writer]));
        ++seen[writer];
    }
    EXPECT_EQ(seen[0], kJobsEach);
    EXPECT_EQ(seen[1], kJobsEach);
}

} // namespace
