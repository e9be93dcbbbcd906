// Command lines that must be refused, and look-alikes that must not send another file: the
// whole launcher with the real job, from the system's wide command line and its ANSI form.
#include "core/job_request.h"
#include "launcher/job_records.h"
#include "launcher/run_loop.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Recorded {
    std::string result;
    int exitCode;
    std::string message;
    std::string resultPath;
};
std::vector<Recorded> g_records;

void RecordForTest(const FinishedJob* job, const char* resultPath) {
    g_records.push_back({job->result, job->exitCode, job->message, resultPath});
}

// The arguments as the system hands them to WinMain: the ANSI code page with its best fit,
// so that look-alikes stand for what they resemble.
std::string AnsiArguments(const std::wstring& arguments) {
    std::string ansi(arguments.size() * 2 + 1, '\0');
    int length = WideCharToMultiByte(CP_ACP, 0, arguments.c_str(), -1, ansi.data(),
                                     static_cast<int>(ansi.size()), nullptr, nullptr);
    ansi.resize(length > 0 ? static_cast<std::size_t>(length - 1) : 0);
    return ansi;
}

std::string LabelFor(const std::string& name) {
    return "^XA^FD" + name + "^FS^XZ\r\n";
}

struct FaultCase {
    const char* what;
    std::wstring arguments;
    std::vector<std::string> files; // made before the run, by their UTF-8 names
    int exitCode;
    const char* messagePart; // in the recorded message ("" when printed)
    std::string sent;        // the file whose label reached the printer; "" for none
    std::size_t records;
    std::string resultPath; // as recorded
};

class CommandLineFaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        g_records.clear();
        g_recordFinishedJob = RecordForTest;
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
        g_jobOptions = JobOptions{};
        g_recordFinishedJob = RecordFinishedJob;
    }
};

TEST_F(CommandLineFaultsTest, RefusedOrSentAsTheWideCommandLineSays) {
    const std::wstring tooLongResult = std::wstring(682, L'标') + L".zp"; // 2049 bytes in UTF-8
    const std::string smiley = "\xF0\x9F\x98\x80";
    const FaultCase cases[] = {
        // The problem quotes 2,100 "é", twice as long in UTF-8: cut, not lost.
        {"long problem in UTF-8",
         L"-q --printer raw:" + std::wstring(2100, L'\u00e9') + L" 标签.zpl",
         {"标签.zpl"},
         2,
         "The command line cannot be understood: The printer target \"raw:\xC3\xA9\xC3\xA9",
         "",
         1,
         ""},
        {"result name too long in UTF-8",
         L"-q --printer raw:Label --result " + tooLongResult + L" label.zpl",
         {"label.zpl"},
         2,
         "--result takes the name of the file to write, not \"标标",
         "",
         1,
         ""},
        {"quiet -n with a file",
         L"-q -n label.zpl",
         {"label.zpl"},
         2,
         "The command line cannot be understood: -n (--nofile) sends nothing",
         "",
         1,
         ""},
        // The UTF-8 of a lone surrogate is U+FFFD: that other file is not sent.
        {"lone surrogate in the file's name",
         L"-q --printer raw:Label label\xD800.zpl",
         {"label\xEF\xBF\xBD.zpl"},
         2,
         "holds half a character (a lone UTF-16 surrogate)",
         "",
         1,
         ""},
        {"lone surrogate in the result's name",
         L"-q --printer raw:Label --result r\xDC00.json x.zpl",
         {"x.zpl"},
         2,
         "--result names \"r\xEF\xBF\xBD.json\"",
         "",
         1,
         "r\xEF\xBF\xBD.json"},
        // A full-width quote is '"' in ANSI: there "old new.zpl" is one token.
        {"full-width quote before the file",
         L"-q --printer raw:Label \xFF02old new.zpl",
         {"old new.zpl", "new.zpl"},
         1,
         "",
         "new.zpl",
         1,
         ""},
        {"full-width quote in the result's name",
         L"-q --printer raw:Label --result \xFF02r new.json label.zpl",
         {"label.zpl", "new.json"},
         1,
         "",
         "label.zpl",
         1,
         "\xEF\xBC\x82r"},
        {"surrogate pair",
         L"-q --printer raw:Label \"\xD83D\xDE00 new.zpl\"",
         {smiley + " new.zpl"},
         1,
         "",
         smiley + " new.zpl",
         1,
         ""},
        // Without -q, -n ends the program as always; with no file, there is nothing to refuse.
        {"-n with a file", L"-n label.zpl", {"label.zpl"}, 1, "", "", 0, ""},
        {"quiet -n without a file", L"-q -n", {}, 1, "", "", 0, ""},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        jobtest::ScratchFolder folder;
        substitute::InstallPrinter("Label");
        for (const std::string& name : c.files) {
            jobtest::WriteBytes(folder / name, LabelFor(name));
        }
        substitute::SetCommandLineW(L"tagwright.exe " + c.arguments);
        std::string ansi = AnsiArguments(c.arguments);
        std::vector<char> line(ansi.begin(), ansi.end());
        line.push_back('\0');

        EXPECT_EQ(TagwrightMain(nullptr, line.data()), c.exitCode);
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_TRUE(substitute::MessageBoxes().empty());
        const auto log = substitute::CallLog();
        bool quiet = c.arguments.rfind(L"-q", 0) == 0;
        // Before anything else, so that no box of the system's can show.
        EXPECT_EQ(!log.empty() && log[0] == "SetErrorMode 0x8001", quiet);
        ASSERT_EQ(g_records.size(), c.records);
        if (c.records > 0) {
            EXPECT_EQ(g_records[0].exitCode, c.exitCode);
            EXPECT_EQ(g_records[0].result, c.sent.empty() ? "failed" : "printed");
            EXPECT_NE(g_records[0].message.find(c.messagePart), std::string::npos)
                << g_records[0].message;
            EXPECT_EQ(g_records[0].resultPath, c.resultPath);
        }
        const auto printed = substitute::PrintedDocuments();
        if (c.sent.empty()) {
            EXPECT_TRUE(printed.empty());
            EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                    [](const std::string& call) {
                                        return call.rfind("OpenPrinterA", 0) == 0 ||
                                               call.rfind("CreateThread", 0) == 0;
                                    }),
                      0);
        } else {
            ASSERT_EQ(printed.size(), 1u);
            EXPECT_EQ(printed[0].bytes, LabelFor(c.sent));
        }
        for (const std::string& name : c.files) {
            EXPECT_EQ(std::filesystem::exists(folder / name), name != c.sent) << name;
        }
        TearDown();
    }
}

} // namespace
