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

} // namespace
