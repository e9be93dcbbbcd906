// The job worker: start-up reports, the input file with its cache-folder fallback, the
// settings reads, the choice of transport, every exit of its own; the copy loop and pause.
#include "transport/job_worker.h"

#include "core/transport_job.h"
#include "transport/driver_transport.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using jobtest::PathBuffer;
using Lines = std::vector<std::string>;

const std::string kSettingsKeyLabel = std::string("key:") + jobtest::kSettingsKey;
const std::string kShellFoldersLabel = std::string("key:") + jobtest::kShellFoldersKey;

class JobWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        // An Escape of an earlier test has let no driver job swap the default since.
        AllowDefaultPrinterSwap();
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        printer = folder / "printer.out";
        input = folder / "label.zpl";
        substitute::MapDevice("LPT1", printer);
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
    }
    Lines Reports() const { return jobtest::Reports(window); }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string printer;
    std::string input;
};

TEST_F(JobWorkerTest, SuccessfulJobReportsInOrderAndDeletesTheInput) {
    std::string label = jobtest::SampleBytes(700);
    jobtest::WriteBytes(input, label);
    jobtest::SetPortSettings("Parallel", "LPT1");
    PathBuffer path(input);

    EXPECT_EQ(JobWorker(path.text), 0u);

    // Delay 0: the copy is not paced, so the whole label goes in one block.
    EXPECT_EQ(Reports(),
              (Lines{"status 120", "status 121", "status 122", "status 123", "range 700:0",
                     "advance 700", "advance 0", "status 124", "done 0,0"}));
    EXPECT_EQ(
        jobtest::ReleasesAndDone(),
        (Lines{"HeapFree 65536", "CloseHandle file:" + input, "CloseHandle device:LPT1",
               "DeleteFileA " + input, "Report done 0,0", "RegCloseKey " + kSettingsKeyLabel}));
    EXPECT_EQ(
        jobtest::CallsStartingWith({"RegQueryValueExA"}),
        (Lines{"RegQueryValueExA Delay", "RegQueryValueExA Attempts", "RegQueryValueExA Timeout",
               "RegQueryValueExA Confirm", "RegQueryValueExA PrinterType", "RegQueryValueExA Port",
               "RegQueryValueExA BaudorIPAddress", "RegQueryValueExA DataBits",
               "RegQueryValueExA Parity", "RegQueryValueExA StopBits"}));
    EXPECT_EQ(substitute::Sleeps(), (std::vector<DWORD>{0}));
    EXPECT_FALSE(jobtest::Exists(input));
    EXPECT_EQ(jobtest::ReadBytes(printer), label);
}

// Every exit of the worker itself: one report, its releases before it, the input kept.
struct WorkerExit {
    const char* name;
    bool inputPresent;
    bool shellFoldersKey;
    bool cacheValue;
    bool settingsKey;
    const char* missingValue; // nullptr: all present
    Lines releasesAndDone;    // "<input>" stands for the input's label
    Lines reports;
    DWORD result;
};

TEST_F(JobWorkerTest, EveryExitReleasesItsHoldingsThenReportsOnce) {
    const WorkerExit exits[] = {
        {"shell folders key missing",
         false,
         false,
         false,
         true,
         nullptr,
         {"Report done 2,1"},
         {"status 120", "status 121", "done 2,1"},
         1},
        {"cache value missing",
         false,
         true,
         false,
         true,
         nullptr,
         {"RegCloseKey " + kShellFoldersLabel, "Report done 2,1"},
         {"status 120", "status 121", "done 2,1"},
         1},
        {"settings key missing",
         true,
         true,
         true,
         false,
         nullptr,
         {"CloseHandle <input>", "Report done 2,1"},
         {"status 120", "status 121", "done 2,1"},
         1},
        {"Delay missing",
         true,
         true,
         true,
         true,
         "Delay",
         {"CloseHandle <input>", "RegCloseKey " + kSettingsKeyLabel, "Report done 2,1"},
         {"status 120", "status 121", "status 122", "done 2,1"},
         1},
        {"PrinterType missing",
         true,
         true,
         true,
         true,
         "PrinterType",
         {"CloseHandle <input>", "RegCloseKey " + kSettingsKeyLabel, "Report done 2,1"},
         {"status 120", "status 121", "status 122", "done 2,1"},
         1},
        {"Port missing",
         true,
         true,
         true,
         true,
         "Port",
         {"CloseHandle <input>", "RegCloseKey " + kSettingsKeyLabel, "Report done 2,1"},
         {"status 120", "status 121", "status 122", "done 2,1"},
         1},
        // After three failed opens there is no input to close, and the code is the open's.
        {"Delay missing, input never opened",
         false,
         true,
         true,
         true,
         "Delay",
         {"RegCloseKey " + kShellFoldersLabel, "RegCloseKey " + kShellFoldersLabel,
          "RegCloseKey " + kShellFoldersLabel, "RegCloseKey " + kSettingsKeyLabel,
          "Report done 2,1"},
         {"status 120", "status 121", "status 122", "done 2,1"},
         1},
    };
    for (const WorkerExit& exit : exits) {
        SCOPED_TRACE(exit.name);
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapDevice("LPT1", printer);
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        std::filesystem::remove(input);
        if (exit.inputPresent) {
            jobtest::WriteBytes(input, "^XA^XZ");
        }
        if (exit.shellFoldersKey) {
            substitute::CreateRegistryKey(jobtest::kShellFoldersKey);
        }
        if (exit.cacheValue) {
            substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", folder / "cache");
        }
        if (exit.settingsKey) {
            jobtest::SetPortSettings("Parallel", "LPT1");
        }
        if (exit.missingValue != nullptr) {
            substitute::DeleteRegistryValue(jobtest::kSettingsKey, exit.missingValue);
        }
        PathBuffer path(input);

        EXPECT_EQ(JobWorker(path.text), exit.result);

        Lines expected;
        for (const std::string& line : exit.releasesAndDone) {
            expected.push_back(line == "CloseHandle <input>" ? "CloseHandle file:" + input : line);
        }
        EXPECT_EQ(jobtest::ReleasesAndDone(), expected);
        EXPECT_EQ(Reports(), exit.reports);
        EXPECT_EQ(jobtest::CallsStartingWith({"CreateFileA LPT1"}), Lines{});
        EXPECT_EQ(jobtest::Exists(input), exit.inputPresent);
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
}

TEST_F(JobWorkerTest, EmptyPathEndsBeforeOpeningAnything) {
    PathBuffer path("");
    SetLastError(0x4D2);
    EXPECT_EQ(JobWorker(path.text), 2u);
    EXPECT_EQ(Reports(), (Lines{"status 120", "status 121", "done 1234,2"}));
    EXPECT_EQ(jobtest::CallsStartingWith({"CreateFileA", "RegOpenKeyExA", "LoadStringA"}), Lines{});
}

// The registry answers with its status, not through the thread's last error.
TEST_F(JobWorkerTest, ReportedCodeIsTheRegistrysOwnStatus) {
    jobtest::WriteBytes(input, "x");
    jobtest::SetPortSettings("Parallel", "LPT1");
    // The user's key is the second open, after the policy's.
    substitute::FailNext("RegOpenKeyExA", ERROR_ACCESS_DENIED, 1, 1);
    PathBuffer path(input);
    EXPECT_EQ(JobWorker(path.text), 1u);
    EXPECT_EQ(Reports().back(), "done 5,1");
}

TEST_F(JobWorkerTest, MissingInputIsTriedThreeTimesThenFailsAtTheFirstRead) {
    substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", folder / "cache");
    jobtest::SetPortSettings("Parallel", "LPT1");
    // Different case: the cache marker is looked for byte for byte.
    std::string missing = folder / "old\\content.ie5\\label.zpl";
    PathBuffer path(missing);

    EXPECT_EQ(JobWorker(path.text), 2u);

    EXPECT_STREQ(path.text, missing.c_str());
    EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "CreateFileA " + missing), 3);
    EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "RegQueryValueExA Cache"), 3);
    EXPECT_EQ(substitute::Sleeps(), (std::vector<DWORD>{0, 0, 0}));
    // The port is opened before the read fails; a file that is not open has all-ones size.
    EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "CreateFileA LPT1"), 1);
    EXPECT_EQ(Reports(), (Lines{"status 120", "status 121", "status 122", "status 123",
                                "range 65535:0", "done 6,2"}));
    EXPECT_EQ(
        jobtest::ReleasesAndDone(),
        (Lines{"RegCloseKey " + kShellFoldersLabel, "RegCloseKey " + kShellFoldersLabel,
               "RegCloseKey " + kShellFoldersLabel, "HeapFree 65536", "CloseHandle device:LPT1",
               "RegCloseKey " + kSettingsKeyLabel, "Report done 6,2"}));
}

TEST_F(JobWorkerTest, FileMovedOutOfAnOldCacheFolderIsFoundInTheCurrentOne) {
    std::string cache = folder / "webcache";
    std::string rebuilt = cache + "\\Content.IE5\\K3J2\\label.zpl";
    std::string label = "^XA^FO50,50^FDcache^FS^XZ\n";
    jobtest::WriteBytes(rebuilt, label);
    substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", cache);
    jobtest::SetPortSettings("Parallel", "LPT1");
    PathBuffer path(folder / "old\\Content.IE5\\K3J2\\label.zpl");

    EXPECT_EQ(JobWorker(path.text), 0u);

    EXPECT_STREQ(path.text, rebuilt.c_str());
    EXPECT_EQ(jobtest::CallsStartingWith({"CreateFileA"}),
              (Lines{"CreateFileA " + (folder / "old\\Content.IE5\\K3J2\\label.zpl"),
                     "CreateFileA " + rebuilt, "CreateFileA LPT1"}));
    EXPECT_FALSE(jobtest::Exists(rebuilt));
    EXPECT_EQ(jobtest::ReadBytes(printer), label);
    EXPECT_EQ(Reports().back(), "done 0,0");
}

TEST_F(JobWorkerTest, RebuiltPathJoinsCacheFolderAndTailAsTheyAre) {
    struct Case {
        std::string cache;
        std::string original;
        std::string expected; // the path after the job
    };
    std::string tail = "\\Content.IE5\\AB\\l.zpl";
    std::string longCache(2040, 'c');
    const Case cases[] = {
        {"C:\\webcache\\", "D:\\x" + tail, "C:\\webcache\\" + tail},
        {"C:\\webcache", "D:\\x" + tail + tail, "C:\\webcache" + tail + tail},
        // 2040 + 21 characters would not fit in the value buffer: left as it was.
        {longCache, "D:\\x" + tail, "D:\\x" + tail},
        {longCache.substr(0, 2047 - tail.size()), "D:" + tail,
         longCache.substr(0, 2047 - tail.size()) + tail},
        {"C:\\w", "D:\\x\\Content.IE5", "D:\\x\\Content.IE5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.original.substr(0, 40));
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapDevice("LPT1", printer);
        substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", c.cache);
        jobtest::SetPortSettings("Parallel", "LPT1");
        PathBuffer path(c.original);
        EXPECT_EQ(JobWorker(path.text), 2u);
        EXPECT_EQ(std::string(path.text), c.expected);
        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "CreateFileA " + c.expected),
                  c.expected == c.original ? 3 : 2);
    }
}

TEST_F(JobWorkerTest, LongestPathWithTheMarkerNeverOverrunsItsBuffers) {
    std::string original = "D:" + std::string(2046 - 16, 'p') + "\\Content.IE5\\x";
    original.resize(kMaxPathLength, 'q');
    ASSERT_EQ(original.size(), 2048u);
    substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", std::string(2047, 'c'));
    jobtest::SetPortSettings("Parallel", "LPT1");
    PathBuffer path(original);
    EXPECT_EQ(JobWorker(path.text), 2u);
    EXPECT_EQ(std::string(path.text), original);
}

TEST_F(JobWorkerTest, PrinterTypeIsComparedExactly) {
    struct Case {
        const char* printerType;
        bool opensPort;
        const char* done;
        const char* transportCall; // a call only the chosen transport makes
    };
    const Case cases[] = {
        // Serial mode on a plain file: the line settings cannot be read.
        {"Serial", true, "done 1,4", "GetCommState"},
        {"", true, "done 1,4", "GetCommState"},
        {"parallel", true, "done 1,4", "GetCommState"},
        {"Parallel ", true, "done 1,4", "GetCommState"},
        {"tcp/ip", true, "done 1,4", "GetCommState"},
        {"usb", true, "done 1,4", "GetCommState"},
        {"printer (raw)", true, "done 1,4", "GetCommState"},
        {"Printer (RAW) ", true, "done 1,4", "GetCommState"},
        {"Parallel", true, "done 0,0", "GetCommState"},
        {"TCP/IP", false, nullptr, "CreateMutexA ipMutex"},
        // No printer of that name is installed: the spooler refuses to make it the default.
        {"USB", false, "done 1801,3", "SetDefaultPrinterA \"LPT1\""},
        // No printer of that name is installed: the queue cannot be opened.
        {"Printer (RAW)", false, "done 1801,11", "OpenPrinterA \"LPT1\" unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("PrinterType \"") + c.printerType + "\"");
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapDevice("LPT1", printer);
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        jobtest::WriteBytes(input, "^XA^XZ");
        jobtest::SetPortSettings(c.printerType, "LPT1");
        // Without an address the network transport ends at once.
        if (!c.opensPort) {
            substitute::DeleteRegistryValue(jobtest::kSettingsKey, "BaudorIPAddress");
        }
        PathBuffer path(input);
        JobWorker(path.text);
        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "CreateFileA LPT1"),
                  c.opensPort ? 1 : 0);
        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), c.transportCall), 1);
        if (c.done != nullptr) {
            EXPECT_EQ(Reports().back(), c.done);
            EXPECT_EQ(jobtest::CountPrefix(Reports(), "done"), 1);
        }
        std::filesystem::remove(input);
        substitute::JoinThreads();
        // Whatever the other transports leave is theirs to check; keep this loop clean.
        for (const std::string& label : substitute::OpenHandles()) {
            ADD_FAILURE() << "left open: " << label;
        }
    }
}

TEST_F(JobWorkerTest, AttemptsDefaultsToThreeAndConvertsLikeStrtol) {
    struct Case {
        const char* attempts; // nullptr: value absent
        int portTries;
    };
    const Case cases[] = {{nullptr, 3}, {"abc", 1}, {"2x", 2}, {" +4", 4}, {"-5", 1}, {"", 1}};
    std::string busyName = folder / "busy";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attempts == nullptr ? "absent" : c.attempts);
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapDevice("LPT1", busyName);
        jobtest::WriteBytes(input, "x");
        jobtest::SetPortSettings("Parallel", "LPT1");
        if (c.attempts == nullptr) {
            substitute::DeleteRegistryValue(jobtest::kSettingsKey, "Attempts");
        } else {
            jobtest::SetSetting("Attempts", c.attempts);
        }
        // Another holder keeps the port busy.
        HANDLE holder = CreateFileA("LPT1", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        PathBuffer path(input);
        EXPECT_EQ(JobWorker(path.text), 3u);
        EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "CreateFileA LPT1"), c.portTries + 1);
        std::vector<DWORD> sleeps{0};
        sleeps.insert(sleeps.end(), static_cast<std::size_t>(c.portTries - 1), 500);
        EXPECT_EQ(substitute::Sleeps(), sleeps);
        EXPECT_EQ(Reports().back(), "done 32,3");
        CloseHandle(holder);
    }
}

TEST_F(JobWorkerTest, ValueOfTwoThousandAndFortyEightCharactersCountsAsMissing) {
    jobtest::WriteBytes(input, "x");
    jobtest::SetPortSettings("Parallel", "LPT1");
    jobtest::SetSetting("Port", std::string(2048, 'P'));
    PathBuffer path(input);
    EXPECT_EQ(JobWorker(path.text), 1u);
    EXPECT_EQ(Reports().back(), "done 234,1");
    EXPECT_TRUE(jobtest::Exists(input));
}

// Every settings exit of the worker and of the transports it hands over to carries the code
// of the failing registry call: ERROR_FILE_NOT_FOUND for an absent key or value,
// ERROR_MORE_DATA for a value that does not fit, the call's own status otherwise. The
// thread's last error holds something else when the job starts, and the releases after
// the failure must not put their codes in its place.
TEST_F(JobWorkerTest, EverySettingsExitCarriesTheFailingReadsCode) {
    const std::string tooLong(kTextBufferSize, '7');
    struct Case {
        const char* name;
        const char* printerType;
        const char* port;
        bool inputPresent; // absent: the cache-folder fallback runs
        const char* value; // the value that is absent or too long (nullptr: none)
        bool valueTooLong;
        const char* keyGone; // a key that does not exist (nullptr: both exist)
        DWORD openRefusal;   // scripted status of the first RegOpenKeyExA (0: none)
        DWORD code;
    };
    const Case cases[] = {
        {"shell folders key absent", "Parallel", "LPT1", false, nullptr, false,
         jobtest::kShellFoldersKey, 0, ERROR_FILE_NOT_FOUND},
        {"shell folders key refused", "Parallel", "LPT1", false, nullptr, false, nullptr,
         ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"Cache absent", "Parallel", "LPT1", false, "Cache", false, nullptr, 0,
         ERROR_FILE_NOT_FOUND},
        {"Cache too long", "Parallel", "LPT1", false, "Cache", true, nullptr, 0, ERROR_MORE_DATA},
        {"settings key absent", "Parallel", "LPT1", true, nullptr, false, jobtest::kSettingsKey, 0,
         ERROR_FILE_NOT_FOUND},
        {"settings key refused", "Parallel", "LPT1", true, nullptr, false, nullptr,
         ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"Delay absent", "Parallel", "LPT1", true, "Delay", false, nullptr, 0,
         ERROR_FILE_NOT_FOUND},
        {"Delay too long", "TCP/IP", "9100", true, "Delay", true, nullptr, 0, ERROR_MORE_DATA},
        {"PrinterType absent", "Parallel", "LPT1", true, "PrinterType", false, nullptr, 0,
         ERROR_FILE_NOT_FOUND},
        {"Port too long", "USB", "Label", true, "Port", true, nullptr, 0, ERROR_MORE_DATA},
        {"parallel BaudorIPAddress absent", "Parallel", "LPT1", true, "BaudorIPAddress", false,
         nullptr, 0, ERROR_FILE_NOT_FOUND},
        {"parallel DataBits absent", "Parallel", "LPT1", true, "DataBits", false, nullptr, 0,
         ERROR_FILE_NOT_FOUND},
        {"parallel Parity too long", "Parallel", "LPT1", true, "Parity", true, nullptr, 0,
         ERROR_MORE_DATA},
        {"parallel StopBits absent", "Parallel", "LPT1", true, "StopBits", false, nullptr, 0,
         ERROR_FILE_NOT_FOUND},
        {"serial DataBits too long", "Serial", "COM1", true, "DataBits", true, nullptr, 0,
         ERROR_MORE_DATA},
        {"serial StopBits absent", "Serial", "COM1", true, "StopBits", false, nullptr, 0,
         ERROR_FILE_NOT_FOUND},
        {"network BaudorIPAddress absent", "TCP/IP", "9100", true, "BaudorIPAddress", false,
         nullptr, 0, ERROR_FILE_NOT_FOUND},
        {"network BaudorIPAddress too long", "TCP/IP", "9100", true, "BaudorIPAddress", true,
         nullptr, 0, ERROR_MORE_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::MapDevice("LPT1", printer);
        substitute::MapCommDevice("COM1", folder / "com1.out");
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        std::filesystem::remove(input);
        if (c.inputPresent) {
            jobtest::WriteBytes(input, "^XA^XZ");
        }
        substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", folder / "cache");
        jobtest::SetPortSettings(c.printerType, c.port);
        if (c.value != nullptr) {
            const char* key = std::strcmp(c.value, "Cache") == 0 ? jobtest::kShellFoldersKey
                                                                 : jobtest::kSettingsKey;
            if (c.valueTooLong) {
                substitute::SetRegistryString(key, c.value, tooLong);
            } else {
                substitute::DeleteRegistryValue(key, c.value);
            }
        }
        if (c.keyGone != nullptr) {
            substitute::DeleteRegistryKey(c.keyGone);
        }
        if (c.openRefusal != 0) {
            substitute::FailNext("RegOpenKeyExA", c.openRefusal, 1, 1);
        }
        PathBuffer path(input);
        SetLastError(ERROR_ALREADY_EXISTS);

        EXPECT_EQ(JobWorker(path.text), 1u);

        const Lines reports = Reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back(), "done " + std::to_string(c.code) + ",1");
        EXPECT_EQ(jobtest::CountPrefix(reports, "done "), 1);
        EXPECT_EQ(jobtest::Exists(input), c.inputPresent);
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
}

// ---- Copy loop -----------------------------------------------------------------------

struct ChannelRecord {
    std::string received;
    std::vector<DWORD> counts;
    bool tailZeroed = true; // the buffer beyond each chunk was all zeros
    int failOnCall = -1;
    DWORD chunkSize = kCopyChunkSize;
};

bool RecordingWrite(void* channel, const char* chunk, DWORD count) {
    auto* record = static_cast<ChannelRecord*>(channel);
    if (static_cast<int>(record->counts.size()) == record->failOnCall) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    record->counts.push_back(count);
    record->received.append(chunk, count);
    for (DWORD i = count; i < record->chunkSize; ++i) {
        record->tailZeroed = record->tailZeroed && chunk[i] == 0;
    }
    return true;
}

class JobCopyLoopTest : public JobWorkerTest {
  protected:
    HANDLE OpenInput(const std::string& bytes) {
        jobtest::WriteBytes(input, bytes);
        return CreateFileA(input.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    }
};

TEST_F(JobCopyLoopTest, CopiesInChunksAndReportsEveryReadWithAZeroedBuffer) {
    struct Case {
        std::size_t size;
        std::vector<DWORD> writes;
    };
    const Case cases[] = {{0, {}}, {1, {1}}, {512, {512}}, {1025, {512, 512, 1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        std::string bytes = jobtest::SampleBytes(c.size);
        HANDLE file = OpenInput(bytes);
        ChannelRecord record;
        char* chunk = nullptr;
        EXPECT_EQ(JobCopyLoop(file, window, RecordingWrite, &record, &chunk, kCopyChunkSize),
                  CopyOutcome::Completed);
        ASSERT_NE(chunk, nullptr);
        EXPECT_EQ(record.counts, c.writes);
        EXPECT_EQ(record.received, bytes);
        EXPECT_TRUE(record.tailZeroed);
        Lines advances;
        for (DWORD count : c.writes) {
            advances.push_back("advance " + std::to_string(count));
        }
        advances.push_back("advance 0");
        EXPECT_EQ(Reports(), advances);
        ReleaseChunkBuffer(&chunk);
        EXPECT_EQ(chunk, nullptr);
        ReleaseChunkBuffer(&chunk);
        CloseHandle(file);
    }
}

TEST_F(JobCopyLoopTest, FailedWriteEndsWithoutReportingThatChunk) {
    HANDLE file = OpenInput(jobtest::SampleBytes(1500));
    ChannelRecord record;
    record.failOnCall = 1;
    char* chunk = nullptr;
    EXPECT_EQ(JobCopyLoop(file, window, RecordingWrite, &record, &chunk, kCopyChunkSize),
              CopyOutcome::WriteFailed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_EQ(Reports(), Lines{"advance 512"});
    // The buffer stays with the caller until it releases it.
    EXPECT_EQ(substitute::OpenHandles(), (Lines{"file:" + input, "heap:512"}));
    ReleaseChunkBuffer(&chunk);
    CloseHandle(file);
}

TEST_F(JobCopyLoopTest, ReadFailuresAndAMissingBufferEndAsReadFailed) {
    ChannelRecord record;
    char* chunk = nullptr;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(
        JobCopyLoop(INVALID_HANDLE_VALUE, window, RecordingWrite, &record, &chunk, kCopyChunkSize),
        CopyOutcome::ReadFailed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ReleaseChunkBuffer(&chunk);

    HANDLE file = OpenInput("abc");
    substitute::FailNext("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(JobCopyLoop(file, window, RecordingWrite, &record, &chunk, kCopyChunkSize),
              CopyOutcome::ReadFailed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(chunk, nullptr);
    ReleaseChunkBuffer(&chunk);

    substitute::FailNext("ReadFile", ERROR_READ_FAULT, 1, 1);
    EXPECT_EQ(JobCopyLoop(file, window, RecordingWrite, &record, &chunk, kCopyChunkSize),
              CopyOutcome::ReadFailed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
    EXPECT_EQ(record.received, "abc");
    EXPECT_EQ(Reports(), Lines{"advance 3"});
    ReleaseChunkBuffer(&chunk);
    CloseHandle(file);
}

TEST_F(JobCopyLoopTest, UnpacedCopiesMoveLargeBlocks) {
    struct Case {
        int delay;
        std::size_t size;
        std::vector<DWORD> writes;
    };
    const Case cases[] = {{1, 1025, {512, 512, 1}},
                          {0, 1025, {1025}},
                          {-3, 65536, {65536}},
                          {0, 150000, {65536, 65536, 18928}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.delay) + " " + std::to_string(c.size));
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        std::string bytes = jobtest::SampleBytes(c.size);
        HANDLE file = OpenInput(bytes);
        ChannelRecord record;
        record.chunkSize = CopyChunkSize(c.delay);
        char* chunk = nullptr;
        EXPECT_EQ(JobCopyLoop(file, window, RecordingWrite, &record, &chunk, record.chunkSize),
                  CopyOutcome::Completed);
        EXPECT_EQ(record.counts, c.writes);
        EXPECT_TRUE(record.received == bytes);
        EXPECT_TRUE(record.tailZeroed);
        EXPECT_EQ(Reports().size(), c.writes.size() + 1);
        EXPECT_EQ(Reports().back(), "advance 0");
        EXPECT_EQ(substitute::OpenHandles(),
                  (Lines{"file:" + input, "heap:" + std::to_string(record.chunkSize)}));
        ReleaseChunkBuffer(&chunk);
        CloseHandle(file);
    }
}

TEST_F(JobWorkerTest, PauseAndContinueSleepsThenContinues) {
    EXPECT_TRUE(PauseAndContinue(500));
    EXPECT_TRUE(PauseAndContinue(0));
    EXPECT_TRUE(PauseAndContinue(-5));
    EXPECT_EQ(substitute::Sleeps(), (std::vector<DWORD>{500, 0, 0}));
}

} // namespace
