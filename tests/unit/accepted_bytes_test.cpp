// The bytes a printer accepted and the input's size, as jobs record them for the result file
// and the job log: counted afresh by each job, chunk by chunk on a port, the whole label once
// the spooler took the driver's document.
#include "core/job_request.h"
#include "transport/driver_transport.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

class AcceptedBytesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window = jobtest::StartJobTest();
        input = folder / "label.zpl";
        substitute::MapDevice("LPT1", folder / "printer.out");
        substitute::InstallPrinter("Office Laser", "LPT1:");
        substitute::InstallPrinter("Zebra ZP450", "USB001");
        substitute::SetDefaultPrinterName("Office Laser");
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
        g_jobOutcome = JobOutcome{};
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string input;
};

TEST_F(AcceptedBytesTest, EachJobCountsWhatItsPrinterTook) {
    struct Case {
        const char* name;
        const char* printerType;
        const char* port;
        const char* delay;
        const char* failingCall; // nullptr: none
        int skip;
        unsigned long long accepted;
        unsigned long long inputSize;
    };
    const Case cases[] = {
        {"port, one block", "Parallel", "LPT1", "0", nullptr, 0, 1300, 1300},
        {"port, paced chunks", "Parallel", "LPT1", "1", nullptr, 0, 1300, 1300},
        {"port stops at the third chunk", "Parallel", "LPT1", "1", "WriteFile", 2, 1024, 1300},
        {"port takes nothing", "Parallel", "LPT1", "1", "WriteFile", 0, 0, 1300},
        {"driver document taken", "USB", "Zebra ZP450", "0", nullptr, 0, 1300, 1300},
        {"driver document not taken", "USB", "Zebra ZP450", "0", "EndDoc", 0, 0, 1300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        jobtest::WriteBytes(input, jobtest::SampleBytes(1300));
        jobtest::SetPortSettings(c.printerType, c.port);
        jobtest::SetSetting("Delay", c.delay);
        if (c.failingCall != nullptr) {
            substitute::FailNext(c.failingCall, ERROR_WRITE_FAULT, 1, c.skip);
        }
        // What an earlier attempt of the same process counted.
        g_jobOutcome.bytesAccepted = 777;
        g_jobOutcome.inputSize = 0;
        jobtest::PathBuffer path(input);

        JobWorker(path.text);

        EXPECT_EQ(g_jobOutcome.bytesAccepted, c.accepted);
        EXPECT_EQ(g_jobOutcome.inputSize, c.inputSize);
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
}

} // namespace
