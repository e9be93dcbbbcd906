// Names the ANSI code page cannot spell: the wide command line's scan, and the job that opens,
// sends and deletes such a file through the wide calls while an ANSI name keeps the A calls.
#include "core/file_names.h"
#include "core/job_request.h"
#include "launcher/wide_command_line.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The arguments as the system hands them to WinMain: in the ANSI code page, '?' for what it
// cannot spell.
std::string AnsiArguments(const std::wstring& arguments) {
    if (arguments.empty()) {
        return "";
    }
    std::string ansi(arguments.size() * 2 + 1, '\0');
    int length = WideCharToMultiByte(CP_ACP, 0, arguments.c_str(), -1, ansi.data(),
                                     static_cast<int>(ansi.size()), nullptr, nullptr);
    ansi.resize(length > 0 ? static_cast<std::size_t>(length - 1) : 0);
    return ansi;
}

struct WideScanCase {
    std::wstring program; // the program's name as the command line starts
    std::wstring arguments;
    // What the ANSI scan of "--result FILE" leaves in resultPath ("" when not given).
    std::string ansiResult;
    std::string path;
    std::string resultPath;
    bool utf8Path;
};

TEST(WideCommandLineTest, TakesUnspellableNamesInUtf8) {
    const std::wstring longest = std::wstring(682, L'标') + L".z";  // 2048 bytes in UTF-8
    const std::wstring tooLong = std::wstring(682, L'标') + L".zp"; // 2049 bytes
    const std::string longestUtf8 = [] {
        std::string text;
        for (int i = 0; i < 682; ++i) {
            text += "标";
        }
        return text + ".z";
    }();
    const WideScanCase cases[] = {
        {L"tagwright.exe", L"label.zpl", "", "label.zpl", "", false},
        // ISO 8859-1 spells "é": the ANSI scan's bytes stand.
        {L"tagwright.exe", L"caf\u00e9.zpl", "", "caf\xe9.zpl", "", false},
        {L"tagwright.exe", L"标签.zpl", "", "标签.zpl", "", true},
        {L"tagwright.exe", L"\"C:\\标签 目录\\标签 1.zpl\"", "", "C:\\标签 目录\\标签 1.zpl", "",
         true},
        {L"tagwright.exe", L"-s -q\t标签.zpl", "", "标签.zpl", "", true},
        // The program's name is no argument, quoted or not, however it is spelled.
        {L"\"C:\\程序 目录\\tagwright.exe\"", L"label.zpl", "", "label.zpl", "", false},
        {L"C:\\程序\\tagwright.exe", L"标签.zpl", "", "标签.zpl", "", true},
        // A value is no file name, and an unspellable one before the file changes nothing.
        {L"tagwright.exe", L"--printer raw:标签 label.zpl", "", "label.zpl", "", false},
        // Not last: no file, nothing taken.
        {L"tagwright.exe", L"标签.zpl -s", "", "", "", false},
        {L"tagwright.exe", L"标签.zpl  ", "", "", "", false},
        {L"tagwright.exe", L"", "", "", "", false},
        {L"tagwright.exe", longest, "", longestUtf8, "", true},
        // Short enough in ANSI, too long in UTF-8: no file rather than a cut name.
        {L"tagwright.exe", tooLong, "", "", "", true},
        // The result file's name shares the path's encoding.
        {L"tagwright.exe", L"--result out.json label.zpl", "out.json", "label.zpl", "out.json",
         false},
        {L"tagwright.exe", L"--result 结果.json label.zpl", "??.json", "label.zpl", "结果.json",
         true},
        {L"tagwright.exe", L"--result \"C:\\out dir\\r.json\" 标签.zpl", "C:\\out dir\\r.json",
         "标签.zpl", "C:\\out dir\\r.json", true},
        {L"tagwright.exe", L"--result " + tooLong + L" label.zpl", std::string(682, '?') + ".zp",
         "label.zpl", "", true},
    };
    for (const WideScanCase& c : cases) {
        std::string ansi = AnsiArguments(c.arguments);
        SCOPED_TRACE("arguments [" + ansi.substr(0, 60) + "]");
        std::vector<char> ansiLine(ansi.begin(), ansi.end());
        ansiLine.push_back('\0');
        LaunchOptions options{};
        ScanCommandLine(ansiLine.data(), &options);
        std::snprintf(options.resultPath, sizeof(options.resultPath), "%s", c.ansiResult.c_str());

        std::wstring commandLine = c.program + L" " + c.arguments;
        ApplyWideCommandLine(commandLine.c_str(), &options);

        EXPECT_EQ(std::string(options.path), c.path);
        EXPECT_EQ(std::string(options.resultPath), c.resultPath);
        EXPECT_EQ(options.job.utf8Path, c.utf8Path);
        // Only a result file's name too long in UTF-8 is refused.
        bool refused = c.resultPath.empty() && !c.ansiResult.empty();
        EXPECT_EQ(std::string(options.problem)
                          .rfind("--result takes the name of the file to write, not \"标标", 0) ==
                      0,
                  refused)
            << options.problem;
    }
}

// The ANSI scan's problem is shown with the path, so it follows the path into UTF-8.
TEST(WideCommandLineTest, ProblemFollowsThePathIntoUtf8) {
    char ansiLine[] = "--delay caf\xe9 ??.zpl";
    LaunchOptions options{};
    ScanCommandLine(ansiLine, &options);
    ApplyWideCommandLine(L"tagwright.exe --delay caf\u00e9 标签.zpl", &options);
    EXPECT_STREQ(options.path, "标签.zpl");
    EXPECT_STREQ(options.problem,
                 "--delay takes a whole number of milliseconds from 0 to 3600000, not \"café\".");
}

class NamedInputJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        printer = folder / "printer.out";
        substitute::MapDevice("LPT1", printer);
        substitute::InstallPrinter("Zebra ZP450", "USB001");
    }
    void TearDown() override {
        g_jobOptions = JobOptions{};
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
    }

    jobtest::ScratchFolder folder;
    HWND window = nullptr;
    std::string printer;
};

// The name reaches the file system through the calls its encoding needs, on every transport
// that deletes the input: the A calls for a name the ANSI code page spells (here "é", byte
// 0xE9), the W calls only for a UTF-8 one.
TEST_F(NamedInputJobTest, InputIsOpenedAndDeletedByItsName) {
    const struct {
        const char* printerType;
        const char* port;
        const char* fileName; // on disk, UTF-8
        const char* pathText; // in the path buffer
        bool utf8Path;
    } cases[] = {
        {"Parallel", "LPT1", "标签.zpl", "标签.zpl", true},
        {"Parallel", "LPT1", "café.zpl", "caf\xe9.zpl", false},
        {"Printer (RAW)", "Zebra ZP450", "标签 目录.zpl", "标签 目录.zpl", true},
        {"Printer (RAW)", "Zebra ZP450", "café.zpl", "caf\xe9.zpl", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.printerType) + " " + c.fileName);
        substitute::ClearCallLog();
        std::string label = jobtest::SampleBytes(1300);
        std::string onDisk = folder / c.fileName;
        std::string inBuffer = folder / c.pathText;
        jobtest::WriteBytes(onDisk, label);
        jobtest::WriteBytes(printer, "");
        jobtest::SetPortSettings(c.printerType, c.port);
        g_jobOptions.utf8Path = c.utf8Path;
        jobtest::PathBuffer path(inBuffer);

        EXPECT_EQ(JobWorker(path.text), 0u);

        EXPECT_FALSE(jobtest::Exists(onDisk));
        if (std::strcmp(c.port, "LPT1") == 0) {
            EXPECT_EQ(jobtest::ReadBytes(printer), label);
        } else {
            ASSERT_FALSE(substitute::PrintedDocuments().empty());
            EXPECT_EQ(substitute::PrintedDocuments().back().bytes, label);
        }
        Lines used = jobtest::CallsStartingWith(
            {"CreateFileA", "CreateFileW", "DeleteFileA", "DeleteFileW"});
        std::string suffix = c.utf8Path ? "W " : "A ";
        Lines expected{"CreateFile" + suffix + inBuffer};
        if (std::strcmp(c.port, "LPT1") == 0) {
            expected.emplace_back("CreateFileA LPT1");
        }
        expected.push_back("DeleteFile" + suffix + inBuffer);
        EXPECT_EQ(used, expected);
    }
}

// A file moved out of an old browser cache: the registry's ANSI folder ("cachÉ", byte 0xC9)
// joins a UTF-8 path in UTF-8, and the file is found under it.
TEST_F(NamedInputJobTest, CacheFolderJoinsAUtf8PathInUtf8) {
    std::string tail = "\\Content.IE5\\K3J2\\标签.zpl";
    std::string rebuilt = (folder / "cachÉ") + tail;
    // The wide calls take '\\' as a folder separator: the file lies in nested folders.
    std::string onDisk = (folder / "cachÉ") + "/Content.IE5/K3J2/标签.zpl";
    std::filesystem::create_directories(std::filesystem::path(onDisk).parent_path());
    std::string label = "^XA^FO50,50^FD标签^FS^XZ\n";
    jobtest::WriteBytes(onDisk, label);
    substitute::SetRegistryString(jobtest::kShellFoldersKey, "Cache", folder / "cach\xc9");
    jobtest::SetPortSettings("Parallel", "LPT1");
    g_jobOptions.utf8Path = true;
    jobtest::PathBuffer path((folder / "old") + tail);

    EXPECT_EQ(JobWorker(path.text), 0u);

    EXPECT_EQ(std::string(path.text), rebuilt);
    EXPECT_EQ(jobtest::CallsStartingWith({"CreateFileW", "DeleteFileW"}),
              (Lines{"CreateFileW " + (folder / "old") + tail, "CreateFileW " + rebuilt,
                     "DeleteFileW " + rebuilt}));
    EXPECT_FALSE(jobtest::Exists(onDisk));
    EXPECT_EQ(jobtest::ReadBytes(printer), label);
}

// A path buffer that claims UTF-8 but holds none opens and deletes nothing.
TEST_F(NamedInputJobTest, PathThatIsNoUtf8ReachesNoFile) {
    g_jobOptions.utf8Path = true;
    std::string path = folder / "caf\xe9.zpl";
    jobtest::WriteBytes(folder / "café.zpl", "x");
    SetLastError(0);
    EXPECT_EQ(OpenInputByName(path.c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_FALSE(DeleteInputByName(path.c_str()));
    EXPECT_TRUE(jobtest::Exists(folder / "café.zpl"));
    EXPECT_EQ(jobtest::CallsStartingWith({"CreateFile", "DeleteFile"}), Lines{});
}

} // namespace
