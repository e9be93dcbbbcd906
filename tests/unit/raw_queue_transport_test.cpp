// The raw queue job, run by the job worker: the label's bytes unchanged in one "RAW" document
// "Label" with the statuses of a port job, short writes continued, every exit's releases in
// order with the input kept, and the user's default printer never touched.
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

namespace {

using jobtest::PathBuffer;
using Lines = std::vector<std::string>;

const char kLabelPrinter[] = "Zebra ZP450";
const char kOfficePrinter[] = "Office Laser";
const std::string kLongPrinter = "Warehouse Label Printer " + std::string(210, 'w');
const std::string kKeyLabel = std::string("key:") + jobtest::kSettingsKey;

// Every byte value, then ZPL text, past two copy chunks and not a whole number of them.
std::string MakeLabel() {
    std::string label;
    for (int value = 0; value < 256; ++value) {
        label.push_back(static_cast<char>(value));
    }
    while (label.size() < 1300) {
        label += "^XA^FO50,50^A0N,40,40^FDRaw \xE9\xFF label^FS^XZ\r\n";
    }
    return label;
}

class RawQueueTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        input = folder / "label.zpl";
        substitute::InstallPrinter(kOfficePrinter, "LPT1:");
        substitute::InstallPrinter(kLabelPrinter, "USB001");
        substitute::InstallPrinter(kLongPrinter, "USB002");
        substitute::SetDefaultPrinterName(kOfficePrinter);
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
    }

    JobResult Run(const std::string& content, const std::string& printer) {
        jobtest::WriteBytes(input, content);
        jobtest::SetPortSettings("Printer (RAW)", printer);
        jobtest::SetSetting("Delay", delay);
        PathBuffer path(input);
        return static_cast<JobResult>(JobWorker(path.text));
    }
    // Paced (above 0): the 512-byte chunks the tables below count.
    std::string delay = "1";

    // What the job ended, gave back and reported, in order.
    static Lines Releases() {
        return jobtest::CallsStartingWith({"RegCloseKey", "EndDocPrinter", "AbortPrinter",
                                           "ClosePrinter", "HeapFree", "CloseHandle", "DeleteFileA",
                                           "Report done"});
    }

    // The job leaves the user's printers alone: no default read or set, no dialog, no mutex.
    static void ExpectDefaultPrinterUntouched() {
        EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
        EXPECT_EQ(jobtest::CallsStartingWith({"GetDefaultPrinterA", "SetDefaultPrinterA",
                                              "PrintDlgA", "CreateMutexA", "StartDocA"}),
                  Lines{});
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string input;
};

TEST_F(RawQueueTransportTest, UnpacedLabelGoesInOneLargeBlock) {
    const std::string label = MakeLabel();
    delay = "0";
    substitute::LimitPrinterWrites({100});
    EXPECT_EQ(Run(label, kLabelPrinter), JobResult::Done);
    const std::string size = std::to_string(label.size());
    const std::string rest = std::to_string(label.size() - 100);
    EXPECT_EQ(jobtest::CallsStartingWith({"WritePrinter"}),
              (Lines{"WritePrinter 100/" + size, "WritePrinter " + rest + "/" + rest}));
    EXPECT_TRUE(substitute::PrintedDocuments().back().bytes == label);
    EXPECT_EQ(jobtest::CountPrefix(Releases(), "HeapFree 65536"), 1);
}

TEST_F(RawQueueTransportTest, LabelReachesTheQueueUnchangedAndTheInputGoes) {
    const std::string label = MakeLabel();
    const std::string tail = std::to_string(label.size() - 2 * kCopyChunkSize);
    const struct {
        const char* name;
        std::string printer;
        std::string content;
        std::vector<DWORD> writeLimits; // what each WritePrinter call takes at most
        Lines writes;                   // taken/asked of each WritePrinter call
    } cases[] = {
        {"whole writes", kLabelPrinter, label, {}, {"512/512", "512/512", tail + "/" + tail}},
        {"short writes continue",
         kLongPrinter,
         label,
         {100, 1, 411, 7},
         {"100/512", "1/412", "411/411", "7/512", "505/505", tail + "/" + tail}},
        {"empty label", kLabelPrinter, "", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::ClearCallLog();
        substitute::LimitPrinterWrites(c.writeLimits);
        size_t before = substitute::PrintedDocuments().size();
        EXPECT_EQ(Run(c.content, c.printer), JobResult::Done);

        std::vector<substitute::PrintedDocument> documents = substitute::PrintedDocuments();
        ASSERT_EQ(documents.size(), before + 1);
        const substitute::PrintedDocument& document = documents.back();
        EXPECT_EQ(document.printer, c.printer);
        EXPECT_EQ(document.name, "Label");
        EXPECT_EQ(document.dataType, "RAW");
        EXPECT_FALSE(document.toFile);
        EXPECT_TRUE(document.pages.empty());
        EXPECT_EQ(document.state, substitute::DocumentState::Ended);
        EXPECT_TRUE(document.bytes == c.content) << "bytes differ";
        EXPECT_FALSE(jobtest::Exists(input));

        Lines writes;
        for (const std::string& line : jobtest::CallsStartingWith({"WritePrinter"})) {
            writes.push_back(line.substr(std::string("WritePrinter ").size()));
        }
        EXPECT_EQ(writes, c.writes);

        // The statuses of a port job; the range carries the size in its high word.
        Lines expected = {"status 120", "status 121", "status 122", "status 123",
                          "range " + std::to_string(c.content.size()) + ":0"};
        for (size_t sent = 0; sent < c.content.size(); sent += kCopyChunkSize) {
            expected.push_back("advance " + std::to_string(std::min<size_t>(
                                                kCopyChunkSize, c.content.size() - sent)));
        }
        expected.insert(expected.end(), {"advance 0", "status 124", "done 0,0"});
        EXPECT_EQ(jobtest::Reports(window), expected);
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;

        // The key goes first; the input is deleted only after the document was ended.
        EXPECT_EQ(
            Releases(),
            (Lines{"RegCloseKey " + kKeyLabel, "EndDocPrinter " + std::to_string(c.content.size()),
                   "HeapFree 512", "CloseHandle file:" + input, "ClosePrinter printer:" + c.printer,
                   "DeleteFileA " + input, "Report done 0,0"}));
        ExpectDefaultPrinterUntouched();
    }
}

TEST_F(RawQueueTransportTest, EveryExitReleasesInOrderKeepsTheInputAndNamesItsCall) {
    const std::string label = MakeLabel();
    const std::string inputClosed = "CloseHandle file:" + input;
    const std::string printerClosed = "ClosePrinter printer:" + std::string(kLabelPrinter);
    // The settings key goes first on every exit: the job reads nothing more from it.
    const std::string key = "RegCloseKey " + kKeyLabel;
    enum class Document { None, Aborted };
    const struct {
        const char* name;
        std::string printer;
        const char* failingCall; // scripted with FailNext, or nullptr
        DWORD error;
        int skip;
        std::vector<DWORD> writeLimits;
        bool inputOpen;
        JobResult result;
        DWORD reportedError;
        Document document;
        size_t bytesTaken;
        Lines releases;
    } cases[] = {
        {"no such printer",
         "Nowhere",
         nullptr,
         0,
         0,
         {},
         true,
         JobResult::QueueOpenError,
         ERROR_INVALID_PRINTER_NAME,
         Document::None,
         0,
         {inputClosed, "Report done 1801,11"}},
        {"queue refused",
         kLabelPrinter,
         "OpenPrinterA",
         ERROR_ACCESS_DENIED,
         0,
         {},
         true,
         JobResult::QueueOpenError,
         ERROR_ACCESS_DENIED,
         Document::None,
         0,
         {inputClosed, "Report done 5,11"}},
        {"document refused",
         kLabelPrinter,
         "StartDocPrinterA",
         ERROR_NOT_ENOUGH_MEMORY,
         0,
         {},
         true,
         JobResult::QueueStartError,
         ERROR_NOT_ENOUGH_MEMORY,
         Document::None,
         0,
         {inputClosed, printerClosed, "Report done 8,12"}},
        {"first write fails",
         kLabelPrinter,
         "WritePrinter",
         ERROR_PRINT_CANCELLED,
         0,
         {},
         true,
         JobResult::QueueWriteError,
         ERROR_PRINT_CANCELLED,
         Document::Aborted,
         0,
         {"HeapFree 512", inputClosed, "AbortPrinter 0", printerClosed, "Report done 63,13"}},
        {"second write fails",
         kLabelPrinter,
         "WritePrinter",
         ERROR_GEN_FAILURE,
         1,
         {},
         true,
         JobResult::QueueWriteError,
         ERROR_GEN_FAILURE,
         Document::Aborted,
         512,
         {"HeapFree 512", inputClosed, "AbortPrinter 512", printerClosed, "Report done 31,13"}},
        {"a write takes nothing",
         kLabelPrinter,
         nullptr,
         0,
         0,
         {300, 0},
         true,
         JobResult::QueueWriteError,
         ERROR_WRITE_FAULT,
         Document::Aborted,
         300,
         {"HeapFree 512", inputClosed, "AbortPrinter 300", printerClosed, "Report done 29,13"}},
        {"second read fails",
         kLabelPrinter,
         "ReadFile",
         ERROR_READ_FAULT,
         1,
         {},
         true,
         JobResult::InputFileError,
         ERROR_READ_FAULT,
         Document::Aborted,
         512,
         {"HeapFree 512", inputClosed, "AbortPrinter 512", printerClosed, "Report done 30,2"}},
        {"no copy buffer",
         kLabelPrinter,
         "HeapAlloc",
         ERROR_NOT_ENOUGH_MEMORY,
         0,
         {},
         true,
         JobResult::InputFileError,
         ERROR_NOT_ENOUGH_MEMORY,
         Document::Aborted,
         0,
         {inputClosed, "AbortPrinter 0", printerClosed, "Report done 8,2"}},
        {"input never opened",
         kLabelPrinter,
         nullptr,
         0,
         0,
         {},
         false,
         JobResult::InputFileError,
         ERROR_INVALID_HANDLE,
         Document::Aborted,
         0,
         {"HeapFree 512", "AbortPrinter 0", printerClosed, "Report done 6,2"}},
        {"end of document refused",
         kLabelPrinter,
         "EndDocPrinter",
         ERROR_DISK_FULL,
         0,
         {},
         true,
         JobResult::QueueEndError,
         ERROR_DISK_FULL,
         Document::Aborted,
         label.size(),
         {"EndDocPrinter failed", "HeapFree 512", inputClosed,
          "AbortPrinter " + std::to_string(label.size()), printerClosed, "Report done 112,14"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::ClearCallLog();
        substitute::LimitPrinterWrites(c.writeLimits);
        if (c.failingCall != nullptr) {
            substitute::FailNext(c.failingCall, c.error, 1, c.skip);
        }
        if (!c.inputOpen) {
            // Every open attempt meets a writer that holds the file.
            substitute::FailNext("CreateFileA", ERROR_SHARING_VIOLATION, 3);
        }
        size_t before = substitute::PrintedDocuments().size();
        EXPECT_EQ(Run(label, c.printer), c.result);

        Lines reports = jobtest::Reports(window);
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back(), "done " + std::to_string(c.reportedError) + "," +
                                      std::to_string(static_cast<int>(c.result)));
        EXPECT_EQ(jobtest::CountPrefix(reports, "done"), 1);
        EXPECT_EQ(jobtest::CountPrefix(reports, "status 124"), 0);
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;

        Lines releases = c.releases;
        releases.insert(releases.begin(), key);
        EXPECT_EQ(Releases(), releases);
        EXPECT_TRUE(jobtest::Exists(input));
        EXPECT_TRUE(jobtest::ReadBytes(input) == label);

        std::vector<substitute::PrintedDocument> documents = substitute::PrintedDocuments();
        ASSERT_EQ(documents.size(), before + (c.document == Document::None ? 0 : 1));
        if (c.document == Document::Aborted) {
            EXPECT_EQ(documents.back().state, substitute::DocumentState::Aborted);
            EXPECT_TRUE(documents.back().bytes == label.substr(0, c.bytesTaken));
        }
        ExpectDefaultPrinterUntouched();
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
}

} // namespace
