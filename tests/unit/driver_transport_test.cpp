// The driver transport: the label drawn once at (1, 1) on a raw "Label" job, the user's
// default printer swapped and given back on every exit, every exit's releases in order, the
// print dialog failure shown once, and driver jobs of all instances taking turns.
#include "launcher/run_loop.h"
#include "platform/testing.h"
#include "resources/resource_ids.h"
#include "transport/driver_transport.h"
#include "transport/job_worker.h"
#include "transport/passthrough_encoder.h"
#include "settings/setting_places.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char kSettingsKey[] = "Software\\Velmora Software\\Tagwright\\1.0";
const char kLabelPrinter[] = "Zebra ZP450";
const char kOfficePrinter[] = "Office Laser";
const std::string kMutex = "mutex:TagwrightDriverJob";
// An EPL2 label and what the encoder makes of it.
const char kLabel[] = "N\nq609\nQ203,26\nP3\n";
const char kEncodedLabel[] = "${N\n}$${q609\n}$${Q203,26\n}$${P2\n}$";

// The stand-in progress window writes each report into the call log.
std::string Report(UINT message, WPARAM wParam, LPARAM lParam) {
    return "Report " + jobtest::DescribeReport(message, wParam, lParam);
}
std::string Done(DWORD error, JobResult result) {
    return Report(WM_JOB_DONE, error, static_cast<LPARAM>(result));
}
const std::string kDonePrefix = "Report done ";

std::vector<std::string> LogEntries(const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    for (const std::string& entry : substitute::CallLog()) {
        for (const std::string& prefix : prefixes) {
            if (entry.compare(0, prefix.size(), prefix) == 0) {
                kept.push_back(entry);
                break;
            }
        }
    }
    return kept;
}

// Everything a job gives back or ends, and its reports, in the order they happened.
std::vector<std::string> Releases() {
    return LogEntries({"SetDefaultPrinterA", "HeapFree", "ReleaseMutex", "CloseHandle", "AbortDoc",
                       "EndPage", "EndDoc", "DeleteDC", "DeleteFileA", "Report "});
}

// The office printer as the default, with the label printer beside it.
void InstallOfficeAndLabelPrinters() {
    substitute::InstallPrinter(kOfficePrinter, "LPT1:");
    substitute::InstallPrinter(kLabelPrinter, "USB001");
    substitute::SetDefaultPrinterName(kOfficePrinter);
}

struct JobSetup {
    char path[kPathBufferSize];
    char value[kTextBufferSize];
    SettingPlaces places;
    TransportJob job;
    JobResult result;
};

DWORD WINAPI RunPreparedJob(LPVOID parameter) {
    auto* setup = static_cast<JobSetup*>(parameter);
    setup->result = DriverTransport(&setup->job);
    return static_cast<DWORD>(setup->result);
}

class DriverTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path.empty());
        directory = folder.path.string();
        inputPath = directory + "/label.epl";
        Fresh(true);
    }

    // A fresh substitute layer: the settings key, and the office printer as the default
    // with the label printer beside it unless there are to be no printers at all.
    void Fresh(bool withPrinters) {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        // An Escape of an earlier test has let no driver job swap the default since.
        AllowDefaultPrinterSwap();
        window = jobtest::CreateJournalWindow();
        substitute::CreateRegistryKey(kSettingsKey);
        if (withPrinters) {
            InstallOfficeAndLabelPrinters();
        }
    }

    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_TRUE(substitute::OpenHandles().empty())
            << ::testing::PrintToString(substitute::OpenHandles());
        substitute::Reset();
    }

    // The worker's hand-over: the input written and opened (or not), the settings key open,
    // the Port text in the value buffer. The call log then holds only the job's own calls.
    void Prepare(const std::string& content, const std::string& port = kLabelPrinter,
                 bool openInput = true) {
        content_ = content;
        {
            std::ofstream file(inputPath, std::ios::binary | std::ios::trunc);
            file.write(content.data(), static_cast<std::streamsize>(content.size()));
        }
        std::snprintf(setup.path, sizeof setup.path, "%s", inputPath.c_str());
        std::snprintf(setup.value, sizeof setup.value, "%s", port.c_str());
        HANDLE input = INVALID_HANDLE_VALUE;
        if (openInput) {
            input = CreateFileA(setup.path, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
            ASSERT_NE(input, INVALID_HANDLE_VALUE);
        }
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key), 0);
        setup.places = SettingPlaces{{nullptr, key, nullptr}};
        setup.job = TransportJob{window, setup.path, input, &setup.places, setup.value, 0, 3};
        setup.result = static_cast<JobResult>(-1);
        substitute::ClearCallLog();
    }

    JobResult Run(const std::string& content, const std::string& port = kLabelPrinter,
                  bool openInput = true) {
        Prepare(content, port, openInput);
        return DriverTransport(&setup.job);
    }

    // Runs the prepared job on a thread of its own, as the job worker does.
    JobResult RunOnWorkerThread() {
        HANDLE thread = CreateThread(nullptr, 1024, RunPreparedJob, &setup, 0, nullptr);
        EXPECT_NE(thread, nullptr);
        if (thread == nullptr) {
            return setup.result;
        }
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
        EXPECT_TRUE(substitute::JoinThreads());
        return setup.result;
    }

    bool InputKept() const {
        std::ifstream file(inputPath, std::ios::binary);
        if (!file) {
            return false;
        }
        std::stringstream kept;
        kept << file.rdbuf();
        return kept.str() == content_;
    }

    std::string FileClosed() const { return "CloseHandle file:" + inputPath; }
    size_t Encoded() const { return sizeof(kEncodedLabel) - 1; }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string directory;
    std::string inputPath;
    std::string content_;
    JobSetup setup{};
};

TEST_F(DriverTransportTest, DrawsTheEncodedLabelOnceOnARawJobAndGivesTheDefaultBack) {
    ASSERT_EQ(Run(kLabel), JobResult::Done);

    auto documents = substitute::PrintedDocuments();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].printer, kLabelPrinter);
    EXPECT_EQ(documents[0].name, "Label");
    EXPECT_EQ(documents[0].dataType, "raw");
    EXPECT_FALSE(documents[0].toFile);
    EXPECT_EQ(documents[0].state, substitute::DocumentState::Ended);
    ASSERT_EQ(documents[0].pages.size(), 1u);
    EXPECT_TRUE(documents[0].pages[0].ended);
    ASSERT_EQ(documents[0].pages[0].texts.size(), 1u);
    const substitute::DrawnText& drawn = documents[0].pages[0].texts[0];
    EXPECT_EQ(drawn.text, kEncodedLabel);
    EXPECT_EQ(drawn.count, static_cast<int>(Encoded()));
    EXPECT_EQ(drawn.x, 1);
    EXPECT_EQ(drawn.y, 1);

    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
    EXPECT_FALSE(::access(inputPath.c_str(), F_OK) == 0) << "the input file is deleted";
    EXPECT_EQ(LogEntries({"Report "}), (std::vector<std::string>{Done(0, JobResult::Done)}));

    const std::string bufferSize = std::to_string(sizeof(kLabel));
    const std::string outputSize = std::to_string(Encoded() + 1);
    EXPECT_EQ(LogEntries({"RegCloseKey",
                          "CreateMutexA",
                          "WaitForSingleObject",
                          "ReleaseMutex",
                          "GetDefaultPrinterA",
                          "SetDefaultPrinterA",
                          "PrintDlgA",
                          "StartDocA",
                          "StartPage",
                          "GetFileSize",
                          "ReadFile",
                          "HeapAlloc",
                          "HeapFree",
                          "CloseHandle",
                          "TextOutA",
                          "EndPage",
                          "EndDoc",
                          "DeleteDC",
                          "DeleteFileA",
                          "Report "}),
              (std::vector<std::string>{
                  std::string("RegCloseKey key:") + kSettingsKey,
                  // The size is taken before the default printer is touched.
                  "GetFileSize file:" + inputPath,
                  "CreateMutexA TagwrightDriverJob",
                  "WaitForSingleObject " + kMutex,
                  "HeapAlloc 2048",
                  "GetDefaultPrinterA \"Office Laser\"",
                  "SetDefaultPrinterA \"Zebra ZP450\"",
                  "HeapAlloc 156", // device mode and names, released at once
                  "HeapAlloc 36",
                  "PrintDlgA \"Zebra ZP450\"",
                  "HeapFree 156",
                  "HeapFree 36",
                  "StartDocA \"Label\" raw",
                  "StartPage",
                  "HeapAlloc " + bufferSize,
                  "ReadFile file:" + inputPath + " " + bufferSize,
                  FileClosed(),
                  "HeapAlloc " + outputSize,
                  "HeapFree " + bufferSize,
                  "TextOutA 1,1 " + std::to_string(Encoded()),
                  "HeapFree " + outputSize,
                  "EndPage",
                  "EndDoc",
                  "SetDefaultPrinterA \"Office Laser\"",
                  "HeapFree 2048",
                  "ReleaseMutex " + kMutex,
                  "CloseHandle " + kMutex,
                  "DeleteDC dc:Zebra ZP450",
                  "DeleteFileA " + inputPath,
                  Done(0, JobResult::Done),
              }));
}

TEST_F(DriverTransportTest, EmptyFileIsDrawnWithCountZero) {
    ASSERT_EQ(Run(""), JobResult::Done);
    auto documents = substitute::PrintedDocuments();
    ASSERT_EQ(documents.size(), 1u);
    ASSERT_EQ(documents[0].pages.size(), 1u);
    ASSERT_EQ(documents[0].pages[0].texts.size(), 1u);
    EXPECT_EQ(documents[0].pages[0].texts[0].count, 0);
    EXPECT_EQ(documents[0].pages[0].texts[0].text, "");
    EXPECT_EQ(documents[0].state, substitute::DocumentState::Ended);
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
}

TEST_F(DriverTransportTest, WithoutADefaultPrinterTheEmptyNameIsGivenBack) {
    substitute::SetDefaultPrinterName("");
    ASSERT_EQ(Run(kLabel), JobResult::Done);
    EXPECT_EQ(
        LogEntries({"GetDefaultPrinterA", "SetDefaultPrinterA"}),
        (std::vector<std::string>{"GetDefaultPrinterA none", "SetDefaultPrinterA \"Zebra ZP450\"",
                                  "SetDefaultPrinterA \"\""}));
    ASSERT_EQ(substitute::PrintedDocuments().size(), 1u);
    EXPECT_EQ(substitute::PrintedDocuments()[0].printer, kLabelPrinter);
    // The spooler keeps a default once there is one: an empty name leaves the label printer.
    EXPECT_EQ(substitute::DefaultPrinter(), kLabelPrinter);
}

// One failing exit: what to script, how the job ends, and what it gives back in which order.
struct Exit {
    const char* name;
    const char* failingCall;
    DWORD error;
    int skip; // calls of failingCall that succeed first
    bool openInput;
    JobResult result;
    DWORD reportedError;
    std::vector<std::string> releases;  // with "<file>" for the input file's close
    substitute::DocumentState document; // of the one document, when one was started
    bool documentStarted;
};

TEST_F(DriverTransportTest, EveryExitGivesTheDefaultBackKeepsTheFileAndReleasesInOrder) {
    const std::string swap = "SetDefaultPrinterA \"Zebra ZP450\"";
    const std::string restore = "SetDefaultPrinterA \"Office Laser\"";
    const std::string unlock = "ReleaseMutex " + kMutex;
    const std::string closeMutex = "CloseHandle " + kMutex;
    const std::string deleteDc = "DeleteDC dc:Zebra ZP450";
    const std::string text = std::to_string(sizeof(kLabel));
    const std::string output = std::to_string(Encoded() + 1);
    const std::string devices[] = {"HeapFree 156", "HeapFree 36"};
    using State = substitute::DocumentState;
    const Exit exits[] = {
        {"StartDocA fails",
         "StartDocA",
         ERROR_GEN_FAILURE,
         0,
         true,
         JobResult::PortOpenError,
         ERROR_GEN_FAILURE,
         {swap, devices[0], devices[1], restore, "HeapFree 2048", unlock, closeMutex, "<file>",
          deleteDc, Done(ERROR_GEN_FAILURE, JobResult::PortOpenError)},
         State::Open,
         false},
        {"StartPage fails",
         "StartPage",
         ERROR_GEN_FAILURE,
         0,
         true,
         JobResult::PortOpenError,
         ERROR_GEN_FAILURE,
         {swap, devices[0], devices[1], restore, "HeapFree 2048", unlock, closeMutex, "<file>",
          "AbortDoc", deleteDc, Done(ERROR_GEN_FAILURE, JobResult::PortOpenError)},
         State::Aborted,
         true},
        {"ReadFile fails",
         "ReadFile",
         ERROR_READ_FAULT,
         0,
         true,
         JobResult::InputFileError,
         ERROR_READ_FAULT,
         {swap, devices[0], devices[1], "<file>", restore, "HeapFree 2048", unlock, closeMutex,
          "HeapFree " + text, "AbortDoc", deleteDc,
          Done(ERROR_READ_FAULT, JobResult::InputFileError)},
         State::Aborted,
         true},
        {"input never opened",
         "",
         0,
         0,
         false,
         JobResult::InputFileError,
         ERROR_INVALID_HANDLE,
         {swap, devices[0], devices[1], restore, "HeapFree 2048", unlock, closeMutex, "HeapFree 1",
          "AbortDoc", deleteDc, Done(ERROR_INVALID_HANDLE, JobResult::InputFileError)},
         State::Aborted,
         true},
        {"no memory for the file text",
         "HeapAlloc",
         ERROR_NOT_ENOUGH_MEMORY,
         3, // the saved name, the device mode and names
         true,
         JobResult::InputFileError,
         ERROR_NOT_ENOUGH_MEMORY,
         {swap, devices[0], devices[1], "<file>", restore, "HeapFree 2048", unlock, closeMutex,
          "AbortDoc", deleteDc, Done(ERROR_NOT_ENOUGH_MEMORY, JobResult::InputFileError)},
         State::Aborted,
         true},
        {"TextOutA fails",
         "TextOutA",
         ERROR_WRITE_FAULT,
         0,
         true,
         JobResult::PortWriteError,
         ERROR_WRITE_FAULT,
         {swap, devices[0], devices[1], "<file>", "HeapFree " + text, restore, "HeapFree 2048",
          unlock, closeMutex, "HeapFree " + output, "AbortDoc", deleteDc,
          Done(ERROR_WRITE_FAULT, JobResult::PortWriteError)},
         State::Aborted,
         true},
        {"no memory for the encoded text",
         "HeapAlloc",
         ERROR_NOT_ENOUGH_MEMORY,
         4, // ... and the file text
         true,
         JobResult::PortWriteError,
         ERROR_NOT_ENOUGH_MEMORY,
         {swap, devices[0], devices[1], "<file>", "HeapFree " + text, restore, "HeapFree 2048",
          unlock, closeMutex, "AbortDoc", deleteDc,
          Done(ERROR_NOT_ENOUGH_MEMORY, JobResult::PortWriteError)},
         State::Aborted,
         true},
        {"mutex cannot be created",
         "CreateMutexA",
         ERROR_ACCESS_DENIED,
         0,
         true,
         JobResult::PortOpenError,
         ERROR_ACCESS_DENIED,
         {"<file>", Done(ERROR_ACCESS_DENIED, JobResult::PortOpenError)},
         State::Open,
         false},
        {"mutex cannot be waited for",
         "WaitForSingleObject",
         ERROR_INVALID_HANDLE,
         0,
         true,
         JobResult::PortOpenError,
         ERROR_INVALID_HANDLE,
         {closeMutex, "<file>", Done(ERROR_INVALID_HANDLE, JobResult::PortOpenError)},
         State::Open,
         false},
        {"no memory for the saved name",
         "HeapAlloc",
         ERROR_NOT_ENOUGH_MEMORY,
         0,
         true,
         JobResult::PortOpenError,
         ERROR_NOT_ENOUGH_MEMORY,
         {unlock, closeMutex, "<file>", Done(ERROR_NOT_ENOUGH_MEMORY, JobResult::PortOpenError)},
         State::Open,
         false},
    };
    for (const Exit& exit : exits) {
        SCOPED_TRACE(exit.name);
        Fresh(true);
        Prepare(kLabel, kLabelPrinter, exit.openInput);
        if (exit.failingCall[0] != '\0') {
            substitute::FailNext(exit.failingCall, exit.error, 1, exit.skip);
        }

        EXPECT_EQ(DriverTransport(&setup.job), exit.result);

        std::vector<std::string> expected;
        for (const std::string& release : exit.releases) {
            expected.push_back(release == "<file>" ? FileClosed() : release);
        }
        EXPECT_EQ(Releases(), expected);
        EXPECT_EQ(LogEntries({kDonePrefix}),
                  (std::vector<std::string>{Done(exit.reportedError, exit.result)}));
        EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
        EXPECT_TRUE(InputKept());
        EXPECT_TRUE(substitute::OpenHandles().empty())
            << ::testing::PrintToString(substitute::OpenHandles());
        auto documents = substitute::PrintedDocuments();
        EXPECT_EQ(documents.size(), exit.documentStarted ? 1u : 0u);
        if (exit.documentStarted && !documents.empty()) {
            EXPECT_EQ(documents[0].state, exit.document);
        }
        EXPECT_EQ(LogEntries({"RegCloseKey"}).size(), 1u);
        EXPECT_EQ(LogEntries({"RegCloseKey", "CreateMutexA"})[0].rfind("RegCloseKey", 0), 0u)
            << "the settings key is closed first";
    }
}

TEST_F(DriverTransportTest, StartCallsReturningZeroAlsoFail) {
    substitute::SetGdiFailureResult(0);
    for (const char* call : {"StartDocA", "StartPage"}) {
        SCOPED_TRACE(call);
        Prepare(kLabel);
        substitute::FailNext(call, ERROR_GEN_FAILURE);
        EXPECT_EQ(DriverTransport(&setup.job), JobResult::PortOpenError);
        EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
        EXPECT_TRUE(InputKept());
    }
}

TEST_F(DriverTransportTest, PrintDialogFailureIsShownOnceThenTheJobEndsAsShown) {
    // The dialog library finds no default printer, as when the swap did not take hold.
    Prepare(kLabel, kLabelPrinter);
    substitute::FailNext("PrintDlgA", PDERR_NODEFAULTPRN);
    ASSERT_EQ(RunOnWorkerThread(), JobResult::FailureAlreadyShown);

    auto boxes = substitute::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "PrintDlg failed!");
    EXPECT_EQ(boxes[0].caption, "Print dialog error 4104"); // PDERR_NODEFAULTPRN
    EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONERROR);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_FALSE(boxes[0].onFirstThread) << "shown by the worker";

    EXPECT_EQ(LogEntries({"MessageBoxA", "SetDefaultPrinterA", "HeapFree", "ReleaseMutex",
                          "CloseHandle", "DeleteDC", "DeleteFileA", "Report "}),
              (std::vector<std::string>{
                  "SetDefaultPrinterA \"Zebra ZP450\"", "MessageBoxA Print dialog error 4104",
                  "SetDefaultPrinterA \"Office Laser\"", "HeapFree 2048", "ReleaseMutex " + kMutex,
                  "CloseHandle " + kMutex, FileClosed(),
                  Done(PDERR_NODEFAULTPRN, JobResult::FailureAlreadyShown),
                  "CloseHandle thread:worker"}));
    EXPECT_TRUE(InputKept());
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
    EXPECT_TRUE(substitute::PrintedDocuments().empty());
}

TEST_F(DriverTransportTest, ScriptedPrintDialogFailureRestoresTheDefault) {
    Prepare(kLabel);
    substitute::FailNext("PrintDlgA", CDERR_INITIALIZATION);
    EXPECT_EQ(DriverTransport(&setup.job), JobResult::FailureAlreadyShown);
    ASSERT_EQ(substitute::MessageBoxes().size(), 1u);
    EXPECT_EQ(substitute::MessageBoxes()[0].caption, "Print dialog error 2");
    EXPECT_EQ(
        LogEntries({kDonePrefix}),
        (std::vector<std::string>{Done(CDERR_INITIALIZATION, JobResult::FailureAlreadyShown)}));
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
    EXPECT_TRUE(InputKept());
}

// In quiet mode no box is shown; the job ends just the same, the default given back.
TEST_F(DriverTransportTest, QuietPrintDialogFailureShowsNoBox) {
    Prepare(kLabel);
    substitute::FailNext("PrintDlgA", CDERR_INITIALIZATION);
    g_jobOptions.quiet = true;
    JobResult result = DriverTransport(&setup.job);
    g_jobOptions = {};
    EXPECT_EQ(result, JobResult::FailureAlreadyShown);
    EXPECT_TRUE(substitute::MessageBoxes().empty());
    EXPECT_EQ(
        LogEntries({kDonePrefix}),
        (std::vector<std::string>{Done(CDERR_INITIALIZATION, JobResult::FailureAlreadyShown)}));
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
    EXPECT_TRUE(InputKept());
}

// Giving the default back while the job has it swapped out (the print dialog's failure is
// on screen), and with no job at all: once, and only when it is swapped out.
TEST_F(DriverTransportTest, DefaultIsGivenBackOnceByWhoeverComesFirst) {
    GiveBackDefaultPrinter();
    EXPECT_TRUE(LogEntries({"SetDefaultPrinterA"}).empty());
    // The launcher has cut the job off: none may swap until the next job starts.
    AllowDefaultPrinterSwap();

    Prepare(kLabel);
    substitute::FailNext("PrintDlgA", CDERR_INITIALIZATION);
    std::vector<std::string> whileShown;
    substitute::OnMessageBox([&whileShown](const substitute::MessageBoxRecord&) {
        whileShown.push_back(substitute::DefaultPrinter());
        GiveBackDefaultPrinter();
        whileShown.push_back(substitute::DefaultPrinter());
    });
    EXPECT_EQ(DriverTransport(&setup.job), JobResult::FailureAlreadyShown);
    EXPECT_EQ(whileShown, (std::vector<std::string>{kLabelPrinter, kOfficePrinter}));
    EXPECT_EQ(LogEntries({"SetDefaultPrinterA"}),
              (std::vector<std::string>{"SetDefaultPrinterA \"Zebra ZP450\"",
                                        "SetDefaultPrinterA \"Office Laser\""}));
    GiveBackDefaultPrinter();
    EXPECT_EQ(LogEntries({"SetDefaultPrinterA"}).size(), 2u);
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
    EXPECT_TRUE(InputKept());
}

// The size as GetFileSize reports it: what does not fit one read of the whole file is
// refused before the default printer is touched or anything is allocated or drawn, as an
// input error naming the cause; the file is kept.
TEST_F(DriverTransportTest, FileSizesThatDoNotFitAreRefusedBeforeAnythingIsTouched) {
    const struct {
        const char* name;
        std::uint64_t size; // reported; 0: the file's own
        DWORD sizeFailure;  // scripted GetFileSize failure (0: none)
        JobResult result;
        DWORD code;
    } cases[] = {
        {"the file's own size", 0, 0, JobResult::Done, 0},
        {"4 GiB: a high word of 1, a low part of 0", 0x100000000ULL, 0, JobResult::InputFileError,
         ERROR_FILE_TOO_LARGE},
        {"4 GiB and 19 bytes: the low part alone would read this label",
         0x100000000ULL + sizeof(kLabel) - 1, 0, JobResult::InputFileError, ERROR_FILE_TOO_LARGE},
        {"5 TiB", 5ULL << 40, 0, JobResult::InputFileError, ERROR_FILE_TOO_LARGE},
        {"4 GiB less one: the NUL after it does not fit", 0xFFFFFFFFULL, 0,
         JobResult::InputFileError, ERROR_FILE_TOO_LARGE},
        {"size cannot be had", 0, ERROR_ACCESS_DENIED, JobResult::InputFileError,
         ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh(true);
        Prepare(kLabel);
        if (c.size != 0) {
            substitute::ReportFileSize(c.size);
        }
        if (c.sizeFailure != 0) {
            substitute::FailNext("GetFileSize", c.sizeFailure);
        }
        SetLastError(ERROR_ALREADY_EXISTS);
        EXPECT_EQ(DriverTransport(&setup.job), c.result);
        EXPECT_EQ(LogEntries({kDonePrefix}), std::vector<std::string>{Done(c.code, c.result)});
        EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
        if (c.result == JobResult::Done) {
            EXPECT_FALSE(InputKept());
            continue;
        }
        EXPECT_TRUE(InputKept());
        EXPECT_TRUE(substitute::PrintedDocuments().empty());
        EXPECT_EQ(LogEntries({"RegCloseKey", "GetFileSize", "CreateMutexA", "HeapAlloc",
                              "SetDefaultPrinterA", "CloseHandle", "Report "}),
                  (std::vector<std::string>{std::string("RegCloseKey key:") + kSettingsKey,
                                            "GetFileSize file:" + inputPath, FileClosed(),
                                            Done(c.code, c.result)}));
        EXPECT_TRUE(substitute::OpenHandles().empty());
    }
}

// The encoded form must fit one draw call: measured without taking memory, and exactly.
TEST_F(DriverTransportTest, EncodedLengthIsMeasuredWithoutMemory) {
    const char* texts[] = {"",
                           "N\nq609\nQ203,26\nP1\n",
                           "^^^",
                           "N\nP2\nX",
                           kLabel,
                           "^XA^FO50,50^ADN,36,20^FDHELLO^FS^XZ",
                           "P123456789012345\n"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        substitute::ClearCallLog();
        size_t measured = PassthroughLength(text);
        EXPECT_TRUE(LogEntries({"HeapAlloc"}).empty());
        size_t length = 0;
        char* output = EncodePassthrough(text, &length);
        ASSERT_NE(output, nullptr);
        EXPECT_EQ(measured, length);
        EXPECT_EQ(measured, std::strlen(output));
        ReleasePassthrough(output);
    }
}

// Escape while the job swaps the default printer, or gives it back: the launcher waits for
// the step under way, and the user's default is given back exactly once, whoever does it.
TEST_F(DriverTransportTest, EscapeDuringTheSwapOrTheGiveBackWaitsAndGivesBackOnce) {
    for (const char* during : {"Zebra ZP450", "Office Laser"}) {
        SCOPED_TRACE(std::string("Escape while SetDefaultPrinterA \"") + during + "\" runs");
        Fresh(true);
        Prepare(kLabel);
        std::thread escape;
        std::atomic<bool> fired{false};
        std::atomic<bool> escapeDone{false};
        const std::string target = during;
        substitute::OnSetDefaultPrinter([&](const std::string& name) {
            if (name != target || fired.exchange(true)) {
                return;
            }
            escape = std::thread([&escapeDone] {
                GiveBackDefaultPrinter();
                escapeDone = true;
            });
            // The launcher must still be waiting when this step ends.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_FALSE(escapeDone.load());
        });
        JobResult result = RunOnWorkerThread();
        ASSERT_TRUE(escape.joinable());
        escape.join();
        substitute::OnSetDefaultPrinter(nullptr);
        EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
        EXPECT_EQ(LogEntries({"SetDefaultPrinterA"}),
                  (std::vector<std::string>{"SetDefaultPrinterA \"Zebra ZP450\"",
                                            "SetDefaultPrinterA \"Office Laser\""}));
        // Cut off after the swap, the job ends quietly; whatever it printed went to the
        // label printer, never to the default given back.
        EXPECT_EQ(result, JobResult::Done);
        for (const substitute::PrintedDocument& document : substitute::PrintedDocuments()) {
            EXPECT_EQ(document.printer, kLabelPrinter);
        }
    }
}

// Escape before the job reaches the swap: the job swaps nothing and ends quietly.
TEST_F(DriverTransportTest, JobCutOffBeforeTheSwapSwapsNothing) {
    Prepare(kLabel);
    GiveBackDefaultPrinter();
    EXPECT_EQ(DriverTransport(&setup.job), JobResult::Done);
    EXPECT_TRUE(LogEntries({"SetDefaultPrinterA", "PrintDlgA"}).empty());
    EXPECT_EQ(LogEntries({kDonePrefix}),
              std::vector<std::string>{Done(ERROR_CANCELLED, JobResult::Done)});
    EXPECT_TRUE(InputKept());
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
}

TEST_F(DriverTransportTest, AnotherInstancesDriverJobIsWaitedForBeforeTheSwap) {
    // This thread stands for another instance's driver job holding the mutex.
    HANDLE other = CreateMutexA(nullptr, FALSE, "TagwrightDriverJob");
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(WaitForSingleObject(other, INFINITE), WAIT_OBJECT_0);
    Prepare(kLabel);
    HANDLE thread = CreateThread(nullptr, 1024, RunPreparedJob, &setup, 0, nullptr);
    ASSERT_NE(thread, nullptr);

    bool waiting = false;
    for (int i = 0; i < 500 && !waiting; ++i) {
        waiting = LogEntries({"WaitForSingleObject " + kMutex}).size() == 1;
        if (!waiting) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_TRUE(waiting) << "the job waits for the mutex";
    EXPECT_TRUE(LogEntries({"GetDefaultPrinterA", "SetDefaultPrinterA"}).empty())
        << "nothing swapped while another job holds the mutex";
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);

    ReleaseMutex(other);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(other);
    EXPECT_TRUE(substitute::JoinThreads());
    EXPECT_EQ(setup.result, JobResult::Done);
    auto order = LogEntries({"ReleaseMutex", "GetDefaultPrinterA"});
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], "ReleaseMutex " + kMutex) << "the other job's release comes first";
    EXPECT_EQ(order[1], "GetDefaultPrinterA \"Office Laser\"");
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
}

// The whole job as the worker runs it for PrinterType "USB".
class DriverJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window = jobtest::StartJobTest();
        input = folder / "label.epl";
        jobtest::SetSetting("PrinterType", "USB");
        jobtest::SetSetting("Port", kLabelPrinter);
        jobtest::SetSetting("Delay", "0");
        substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", folder / "cache");
        InstallOfficeAndLabelPrinters();
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_TRUE(substitute::OpenHandles().empty())
            << ::testing::PrintToString(substitute::OpenHandles());
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string input;
};

TEST_F(DriverJobTest, OnlyTheEndIsReportedAfterStatus122) {
    jobtest::WriteBytes(input, kLabel);
    jobtest::PathBuffer path(input);
    EXPECT_EQ(JobWorker(path.text), 0u);
    EXPECT_EQ(jobtest::Reports(window),
              (std::vector<std::string>{"status 120", "status 121", "status 122", "done 0,0"}));
    ASSERT_EQ(substitute::PrintedDocuments().size(), 1u);
    EXPECT_EQ(substitute::PrintedDocuments()[0].pages[0].texts[0].text, kEncodedLabel);
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
    EXPECT_FALSE(jobtest::Exists(input));
}

// Escape in the progress window while the job has the default printer swapped out (here:
// while the print dialog's failure is on screen) ends the program with the default given
// back; the job, when it goes on, does not give it back again.
TEST_F(DriverJobTest, EscapeWhileTheDefaultIsSwappedOutGivesItBack) {
    jobtest::WriteBytes(input, kLabel);
    substitute::FailNext("PrintDlgA", CDERR_INITIALIZATION);
    std::vector<std::string> seen;
    substitute::OnMessageBox([&seen](const substitute::MessageBoxRecord&) {
        seen.push_back(substitute::DefaultPrinter());
        EXPECT_TRUE(substitute::PressEscape(substitute::FindOpenDialog(IDD_PROGRESS)));
        seen.push_back(substitute::DefaultPrinter());
    });
    std::string commandLine = "tagwright.exe " + input;
    substitute::SetCommandLineW(L"tagwright.exe " +
                                std::wstring(commandLine.begin(), commandLine.end()));
    EXPECT_EQ(TagwrightMain(nullptr, commandLine.data()), 1);
    EXPECT_TRUE(substitute::JoinThreads());
    EXPECT_EQ(seen, (std::vector<std::string>{kLabelPrinter, kOfficePrinter}));
    EXPECT_EQ(jobtest::CallsStartingWith({"SetDefaultPrinterA"}),
              (std::vector<std::string>{"SetDefaultPrinterA \"Zebra ZP450\"",
                                        "SetDefaultPrinterA \"Office Laser\""}));
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
    EXPECT_TRUE(jobtest::Exists(input));
}

TEST_F(DriverJobTest, InputThatNeverOpenedFailsAtTheReadWithTheDefaultGivenBack) {
    jobtest::PathBuffer path(folder / "missing.epl");
    EXPECT_EQ(JobWorker(path.text), static_cast<DWORD>(JobResult::InputFileError));
    EXPECT_EQ(jobtest::Reports(window),
              (std::vector<std::string>{"status 120", "status 121", "status 122",
                                        "done " + std::to_string(ERROR_INVALID_HANDLE) + ",2"}));
    EXPECT_EQ(jobtest::CallsStartingWith(
                  {"SetDefaultPrinterA", "StartDocA", "StartPage", "ReadFile", "AbortDoc"}),
              (std::vector<std::string>{
                  "SetDefaultPrinterA \"Zebra ZP450\"", "StartDocA \"Label\" raw", "StartPage",
                  "ReadFile invalid 1", "SetDefaultPrinterA \"Office Laser\"", "AbortDoc"}));
    EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
}

} // namespace
