// The command-line scan: options, quotes, separators, the file as the last token.
#include "launcher/command_line.h"
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
};

struct ScanCase {
    const char* commandLine;
    bool settings;
    bool about;
    bool noFile;
    const char* path;
};

const ScanCase kScanCases[] = {
    {"", false, false, false, ""},
    {"-n", false, false, true, ""},
    {"--nofile", false, false, true, ""},
    {"-s", true, false, false, ""},
    {"--settings", true, false, false, ""},
    {"-?", false, true, false, ""},
    {"--about", false, true, false, ""},
    {"-s -n", true, false, true, ""},
    {"-? -s label.txt", true, true, false, "label.txt"},
    {"-n -? -s label.txt", true, true, true, "label.txt"},
    // Not last: ignored.
    {"label.txt -s", true, false, false, ""},
    {"a.txt b.txt", false, false, false, "b.txt"},
    // Case-sensitive: "-S" is an ordinary token, ignored because it is not last.
    {"-S label.txt", false, false, false, "label.txt"},
    {"--Settings", false, false, false, "--Settings"},
    {"-s-n", false, false, false, "-s-n"},
    {"label.txt", false, false, false, "label.txt"},
    {"\tlabel.txt", false, false, false, "label.txt"},
    {"-s\tlabel.txt", true, false, false, "label.txt"},
    // One separator per token: a trailing one is harmless only as the last character.
    {"label.txt ", false, false, false, "label.txt"},
    {"label.txt  ", false, false, false, ""},
    {"label.txt \t", false, false, false, ""},
    {"-s  label.txt", true, false, false, "label.txt"},
    // Quotes.
    {"\"C:\\My Labels\\label one.txt\"", false, false, false, "C:\\My Labels\\label one.txt"},
    {"-s \"C:\\a b.txt\"", true, false, false, "C:\\a b.txt"},
    {"\"-s\" x.txt", true, false, false, "x.txt"},
    {"\"a b.txt\" ", false, false, false, ""},
    {"\"\"", false, false, false, ""},
    {"\"\"label.txt", false, false, false, "label.txt"},
    {"\"a\"b.txt", false, false, false, "b.txt"},
    {"\"label.txt\"x", false, false, false, "x"},
    // An unclosed quote ends at the end of the command line.
    {"\"C:\\a b.txt", false, false, false, "C:\\a b.txt"},
    {"-n \"unclosed -s", false, false, true, "unclosed -s"},
    {"\"", false, false, false, ""},
};

TEST_F(CommandLineTest, ScansTheTable) {
    for (const ScanCase& c : kScanCases) {
        std::vector<char> text(c.commandLine, c.commandLine + strlen(c.commandLine) + 1);
        LaunchOptions options;
        memset(&options, 0x5a, sizeof(options));
        ScanCommandLine(text.data(), &options);
        SCOPED_TRACE(std::string("command line [") + c.commandLine + "]");
        EXPECT_EQ(options.settings, c.settings);
        EXPECT_EQ(options.about, c.about);
        EXPECT_EQ(options.noFile, c.noFile);
        EXPECT_STREQ(options.path, c.path);
    }
}

TEST_F(CommandLineTest, NullCommandLineIsEmpty) {
    LaunchOptions options;
    memset(&options, 0x5a, sizeof(options));
    ScanCommandLine(nullptr, &options);
    EXPECT_FALSE(options.settings || options.about || options.noFile);
    EXPECT_STREQ(options.path, "");
}

// The space after a closing quote is an empty token's separator and becomes NUL too.
TEST_F(CommandLineTest, SplitsInPlace) {
    char text[] = "-s \"a b\" c";
    LaunchOptions options;
    ScanCommandLine(text, &options);
    EXPECT_EQ(std::string(text, sizeof(text)), std::string("-s\0\"a b\0\0c\0", sizeof(text)));
    EXPECT_STREQ(options.path, "c");
}

// The path buffer holds 2048 characters; a longer last token is refused whole, never cut.
TEST_F(CommandLineTest, PathLengthBoundary) {
    const struct {
        size_t length;
        bool quoted;
        bool taken;
    } cases[] = {
        {2047, false, true},  {2048, false, true}, {2049, false, false},
        {5000, false, false}, {2048, true, true},  {2049, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + (c.quoted ? " quoted" : ""));
        std::string name(c.length, 'x');
        name[0] = 'C';
        std::string line = "-s " + (c.quoted ? "\"" + name + "\"" : name);
        std::vector<char> text(line.begin(), line.end());
        text.push_back('\0');
        LaunchOptions options;
        ScanCommandLine(text.data(), &options);
        EXPECT_TRUE(options.settings);
        EXPECT_EQ(options.path[kMaxPathLength], '\0');
        EXPECT_EQ(std::string(options.path), c.taken ? name : std::string());
    }
}

// The options of unattended jobs: each value, its overrides, and the problems of values that
// cannot be understood (the first one found is told).
struct JobOptionCase {
    const char* commandLine;
    bool quiet;
    TargetKind kind;
    int delay; // -1: not given
    int attempts;
    int timeout;
    const char* resultPath;
    const char* path;
    const char* problemPart; // "" when the line is understood
    int confirm = -1;        // a ConfirmLevel; -1: not given
};

const JobOptionCase kJobOptionCases[] = {
    {"label.zpl", false, TargetKind::Stored, -1, -1, -1, "", "label.zpl", ""},
    {"-q label.zpl", true, TargetKind::Stored, -1, -1, -1, "", "label.zpl", ""},
    {"--quiet label.zpl", true, TargetKind::Stored, -1, -1, -1, "", "label.zpl", ""},
    {"-Q label.zpl", false, TargetKind::Stored, -1, -1, -1, "", "label.zpl", ""},
    {"--printer socket://10.0.0.5 label.zpl", false, TargetKind::Socket, -1, -1, -1, "",
     "label.zpl", ""},
    {"--printer \"driver:Zebra ZP 450\" -q \"C:\\Labels\\a b.zpl\"", true, TargetKind::Driver, -1,
     -1, -1, "", "C:\\Labels\\a b.zpl", ""},
    {"--printer raw:A --printer parallel:LPT2 x.zpl", false, TargetKind::Parallel, -1, -1, -1, "",
     "x.zpl", ""},
    {"--delay 0 --attempts 1 --timeout 0 x.zpl", false, TargetKind::Stored, 0, 1, 0, "", "x.zpl",
     ""},
    {"--delay 3600000 --attempts 1000 --timeout 86400 x.zpl", false, TargetKind::Stored, 3600000,
     1000, 86400, "", "x.zpl", ""},
    {"--result \"C:\\out\\r 1.json\" x.zpl", false, TargetKind::Stored, -1, -1, -1,
     "C:\\out\\r 1.json", "x.zpl", ""},
    // A value is the next token whatever it is; the file is still the last token.
    {"--result -s x.zpl", false, TargetKind::Stored, -1, -1, -1, "-s", "x.zpl", ""},
    {"--result x.zpl", false, TargetKind::Stored, -1, -1, -1, "x.zpl", "", ""},
    // Problems.
    {"--printer", false, TargetKind::Stored, -1, -1, -1, "", "", "--printer needs a value"},
    {"x.zpl --timeout", false, TargetKind::Stored, -1, -1, -1, "", "", "--timeout needs a value"},
    // Without a scheme, a name of the named printers, looked up after the scan.
    {"--printer lpt1 x.zpl", false, TargetKind::Named, -1, -1, -1, "", "x.zpl", ""},
    {"--printer \"Small labels\" x.zpl", false, TargetKind::Named, -1, -1, -1, "", "x.zpl", ""},
    {"--printer lpt1: x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "\"lpt1:\" is not one of"},
    {"--delay -5 x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--delay takes a whole number of milliseconds from 0 to 3600000, not \"-5\""},
    {"--delay 3600001 x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl", "--delay takes"},
    {"--attempts 0 x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--attempts takes a whole number of attempts from 1 to 1000, not \"0\""},
    {"--attempts 1001 x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--attempts takes"},
    {"--timeout 2s x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--timeout takes a whole number of seconds from 0 (no limit) to 86400, not \"2s\""},
    {"--timeout 99999999999999999999 x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--timeout takes"},
    {"--delay \"\" x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl", "--delay takes"},
    {"--result \"\" x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--result takes the name of the file to write"},
    {"--delay x --attempts y x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--delay takes"},
    // Confirmation for this job, its word compared ignoring case.
    {"--confirm received x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl", "", 1},
    {"-q --confirm Printed x.zpl", true, TargetKind::Stored, -1, -1, -1, "", "x.zpl", "", 2},
    {"--confirm printed --confirm OFF x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "", 0},
    {"--confirm yes x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--confirm takes received, printed or off, not \"yes\""},
    {"--confirm \"\" x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl", "--confirm takes"},
    {"--confirm received2 x.zpl", false, TargetKind::Stored, -1, -1, -1, "", "x.zpl",
     "--confirm takes"},
    {"x.zpl --confirm", false, TargetKind::Stored, -1, -1, -1, "", "", "--confirm needs a value"},
};

TEST_F(CommandLineTest, ScansTheOptionsOfUnattendedJobs) {
    for (const JobOptionCase& c : kJobOptionCases) {
        std::vector<char> text(c.commandLine, c.commandLine + strlen(c.commandLine) + 1);
        LaunchOptions options;
        memset(&options, 0x5a, sizeof(options));
        ScanCommandLine(text.data(), &options);
        SCOPED_TRACE(std::string("command line [") + c.commandLine + "]");
        EXPECT_EQ(options.job.quiet, c.quiet);
        EXPECT_EQ(options.job.target.kind, c.kind);
        const std::pair<const JobOverride*, int> overrides[] = {
            {&options.job.delay, c.delay},
            {&options.job.attempts, c.attempts},
            {&options.job.timeout, c.timeout},
        };
        for (const auto& [given, expected] : overrides) {
            EXPECT_EQ(given->given, expected >= 0);
            EXPECT_EQ(given->value, expected >= 0 ? expected : 0);
        }
        EXPECT_STREQ(options.resultPath, c.resultPath);
        EXPECT_STREQ(options.path, c.path);
        EXPECT_EQ(options.job.confirmGiven, c.confirm >= 0);
        if (c.confirm >= 0) {
            EXPECT_EQ(static_cast<int>(options.job.confirm), c.confirm);
        }
        EXPECT_EQ(options.refused, c.problemPart[0] != '\0');
        if (c.problemPart[0] == '\0') {
            EXPECT_STREQ(options.problem, "");
        } else {
            EXPECT_NE(std::string(options.problem).find(c.problemPart), std::string::npos)
                << options.problem;
        }
    }
}

// A result file name is refused whole when it would not fit, never cut to another name.
TEST_F(CommandLineTest, ResultPathLengthBoundary) {
    for (size_t length :
         {static_cast<size_t>(kMaxPathLength), static_cast<size_t>(kPathBufferSize)}) {
        SCOPED_TRACE(length);
        std::string line = "--result " + std::string(length, 'r') + " x.zpl";
        std::vector<char> text(line.begin(), line.end());
        text.push_back('\0');
        LaunchOptions options;
        ScanCommandLine(text.data(), &options);
        bool fits = length <= static_cast<size_t>(kMaxPathLength);
        EXPECT_EQ(std::string(options.resultPath), fits ? std::string(length, 'r') : "");
        EXPECT_EQ(options.problem[0] == '\0', fits);
    }
}

} // namespace
