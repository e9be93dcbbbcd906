// The driver printer a job names must be one the spooler knows: otherwise the job ends as a
// printer that cannot be opened, with the user's default printer unchanged and the label
// kept, never printed on the default. Quiet jobs refuse printers that print to a file, ask
// where to save or open a window, and tell the print dialog to show no warning.
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

constexpr char kLabelPrinter[] = "Zebra ZP450";
constexpr char kOfficePrinter[] = "Office Laser";
constexpr char kLabel[] = "^XA^FDcheck^FS^XZ\n";

class DriverPrinterCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window = jobtest::StartJobTest();
        input = folder / "label.zpl";
        substitute::SetEnvironmentValue("LOCALAPPDATA", folder.path.c_str());
    }
    void TearDown() override {
        g_jobOptions = {};
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_TRUE(substitute::OpenHandles().empty())
            << ::testing::PrintToString(substitute::OpenHandles());
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
        substitute::Reset();
    }

    void Printers(bool installed, const std::string& labelPort = "USB001") {
        if (installed) {
            substitute::InstallPrinter(kOfficePrinter, "LPT1:");
            substitute::InstallPrinter(kLabelPrinter, labelPort);
            substitute::SetDefaultPrinterName(kOfficePrinter);
        }
    }

    // The printer named on the command line, or by the stored USB settings.
    static void NamePrinter(const std::string& name, bool stored, bool quiet) {
        g_jobOptions = {};
        g_jobOptions.quiet = quiet;
        if (stored) {
            jobtest::SetSetting("PrinterType", "USB");
            jobtest::SetSetting("Port", name);
            jobtest::SetSetting("Delay", "0");
        } else {
            g_jobOptions.target.kind = TargetKind::Driver;
            std::snprintf(g_jobOptions.target.name, sizeof g_jobOptions.target.name, "%s",
                          name.c_str());
        }
    }

    DWORD RunJob() {
        substitute::ClearCallLog();
        jobtest::WriteBytes(input, kLabel);
        jobtest::PathBuffer path(input);
        return JobWorker(path.text);
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string input;
};

TEST_F(DriverPrinterCheckTest, NameTheSpoolerDoesNotKnowIsAnOpeningFailure) {
    const struct {
        const char* name;
        std::string printer;
        bool stored;
        bool installed; // the office and label printers; else none at all
        Lines swaps;    // SetDefaultPrinterA calls (a quiet job refuses an unknown name earlier)
    } cases[] = {
        {"known name",
         kLabelPrinter,
         false,
         true,
         {"SetDefaultPrinterA \"Zebra ZP450\"", "SetDefaultPrinterA \"Office Laser\""}},
        {"known name, another case",
         "ZEBRA zp450",
         false,
         true,
         {"SetDefaultPrinterA \"ZEBRA zp450\"", "SetDefaultPrinterA \"Office Laser\""}},
        {"one letter short", "Zebra ZP45", false, true, {"SetDefaultPrinterA \"Zebra ZP45\""}},
        {"a %20 for each space",
         "Zebra%20ZP450",
         false,
         true,
         {"SetDefaultPrinterA \"Zebra%20ZP450\""}},
        {"no printers at all", kLabelPrinter, false, false, {"SetDefaultPrinterA \"Zebra ZP450\""}},
        {"empty name", "", false, true, {}},
        {"stored USB, known",
         kLabelPrinter,
         true,
         true,
         {"SetDefaultPrinterA \"Zebra ZP450\"", "SetDefaultPrinterA \"Office Laser\""}},
        {"stored USB, unknown", "Zebra ZP45", true, true, {"SetDefaultPrinterA \"Zebra ZP45\""}},
    };
    for (bool quiet : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (quiet ? ", quiet" : ""));
            substitute::Reset();
            substitute::UseVirtualClock(true);
            substitute::SetEnvironmentValue("LOCALAPPDATA", folder.path.c_str());
            substitute::DestroyTestWindow(window);
            window = jobtest::CreateJournalWindow();
            g_progressWindow = window;
            Printers(c.installed);
            const std::string before = substitute::DefaultPrinter();
            NamePrinter(c.printer, c.stored, quiet);
            DWORD result = RunJob();

            bool known = c.swaps.size() == 2;
            // A quiet job reads the printer's ports first, through a handle the spooler gives
            // only for a name it knows.
            Lines expectedSwaps = quiet && !known ? Lines{} : c.swaps;
            EXPECT_EQ(jobtest::CallsStartingWith({"SetDefaultPrinterA"}), expectedSwaps);
            EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "OpenPrinterA"),
                      quiet && !c.printer.empty() ? 1 : 0);
            EXPECT_EQ(substitute::DefaultPrinter(), before) << "the default is unchanged";
            if (known) {
                EXPECT_EQ(result, 0u);
                ASSERT_EQ(substitute::PrintedDocuments().size(), 1u);
                EXPECT_EQ(substitute::PrintedDocuments()[0].printer, kLabelPrinter);
                EXPECT_FALSE(jobtest::Exists(input));
                continue;
            }
            EXPECT_EQ(result, static_cast<DWORD>(JobResult::PortOpenError));
            EXPECT_EQ(jobtest::Reports(window).back(),
                      "done " + std::to_string(ERROR_INVALID_PRINTER_NAME) + ",3");
            EXPECT_TRUE(substitute::PrintedDocuments().empty());
            EXPECT_TRUE(jobtest::CallsStartingWith({"PrintDlgA", "StartDocA"}).empty());
            EXPECT_EQ(jobtest::ReadBytes(input), kLabel) << "the file is kept";
        }
    }
}

// Quiet only: a printer whose ports include one that writes a file or opens a window is
// refused before the default printer is touched; the print dialog is told not to warn.
TEST_F(DriverPrinterCheckTest, QuietJobsRefuseWindowedPortsAndAskForNoWarning) {
    const struct {
        const char* port;
        bool refusedWhenQuiet;
    } cases[] = {
        {"USB001", false},
        {"FILE:", true},
        {"file:", true},
        {"PORTPROMPT:", true},
        {"XPSPort:", true},
        {"SHRFAX:", true},
        {"USB001,FILE:", true},
        {"FILE:,USB001", true},
        {"FILE", false},
        {"FILE:X", false},
        {"C:\\labels\\out.prn", false},
    };
    for (bool quiet : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.port) + (quiet ? ", quiet" : ""));
            substitute::Reset();
            substitute::UseVirtualClock(true);
            substitute::DestroyTestWindow(window);
            window = jobtest::CreateJournalWindow();
            g_progressWindow = window;
            Printers(true, c.port);
            NamePrinter(kLabelPrinter, false, quiet);
            DWORD result = RunJob();
            EXPECT_EQ(substitute::DefaultPrinter(), kOfficePrinter);
            // Without -q, today's calls: no look at the ports, and the dialog may warn.
            EXPECT_EQ(jobtest::CountPrefix(substitute::CallLog(), "GetPrinterA"), quiet ? 2 : 0);
            if (quiet && c.refusedWhenQuiet) {
                EXPECT_EQ(result, static_cast<DWORD>(JobResult::PortOpenError));
                EXPECT_EQ(jobtest::Reports(window).back(),
                          "done " + std::to_string(ERROR_NOT_SUPPORTED) + ",3");
                EXPECT_TRUE(
                    jobtest::CallsStartingWith({"SetDefaultPrinterA", "PrintDlgA"}).empty());
                EXPECT_EQ(jobtest::ReadBytes(input), kLabel);
                continue;
            }
            EXPECT_EQ(result, 0u);
            EXPECT_EQ(substitute::PrintedDocuments().size(), 1u);
            EXPECT_EQ((substitute::LastPrintDialogFlags() & PD_NOWARNING) != 0, quiet);
        }
    }
}

// The quiet look at the ports fails as the spooler's calls fail, releasing what it took.
TEST_F(DriverPrinterCheckTest, QuietPortLookThatFailsEndsWithTheSpoolersCode) {
    const struct {
        const char* call;
        int skip;
    } cases[] = {{"OpenPrinterA", 0}, {"GetPrinterA", 0}, {"GetPrinterA", 1}, {"HeapAlloc", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.skip));
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::DestroyTestWindow(window);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        Printers(true);
        NamePrinter(kLabelPrinter, false, true);
        substitute::ClearCallLog();
        jobtest::WriteBytes(input, kLabel);
        jobtest::PathBuffer path(input);
        // The first HeapAlloc after the ports' size is the block for them.
        substitute::FailNext(c.call, ERROR_ACCESS_DENIED, 1, c.skip);
        EXPECT_EQ(JobWorker(path.text), static_cast<DWORD>(JobResult::PortOpenError));
        DWORD code =
            std::string(c.call) == "HeapAlloc" ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED;
        EXPECT_EQ(jobtest::Reports(window).back(), "done " + std::to_string(code) + ",3");
        EXPECT_TRUE(jobtest::CallsStartingWith({"SetDefaultPrinterA"}).empty());
        EXPECT_EQ(jobtest::ReadBytes(input), kLabel);
        EXPECT_TRUE(substitute::OpenHandles().empty())
            << ::testing::PrintToString(substitute::OpenHandles());
    }
}

} // namespace
