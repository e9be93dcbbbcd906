// The dialog and string tables derived from tagwright.rc, checked against the windows'
// layouts and every quoted text; and the generator's refusal of what it does not understand.
#include "platform/posix/rc_tables.h"

#include "platform/testing.h"
#include "resources/resource_ids.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class RcTablesTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override { EXPECT_TRUE(substitute::JoinThreads()); }
};

enum class Kind {
    Label,
    Icon,
    Edit,
    ReadOnlyEdit,
    PushButton,
    DefaultButton,
    CheckBox,
    DropList,
    Combo
};

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Label:
        return "label";
    case Kind::Icon:
        return "icon";
    case Kind::Edit:
        return "edit";
    case Kind::ReadOnlyEdit:
        return "read-only edit";
    case Kind::PushButton:
        return "push button";
    case Kind::DefaultButton:
        return "default push button";
    case Kind::CheckBox:
        return "check box";
    case Kind::DropList:
        return "drop-down list";
    case Kind::Combo:
        return "drop-down combo";
    }
    return "?";
}

Kind KindOf(const rc::ControlTemplate& control) {
    std::string name = control.className;
    if (name == "Static") {
        return (control.style & SS_TYPEMASK) == SS_ICON ? Kind::Icon : Kind::Label;
    }
    if (name == "Edit") {
        return (control.style & ES_READONLY) != 0 ? Kind::ReadOnlyEdit : Kind::Edit;
    }
    if (name == "Button") {
        switch (control.style & BS_TYPEMASK) {
        case BS_DEFPUSHBUTTON:
            return Kind::DefaultButton;
        case BS_AUTOCHECKBOX:
            return Kind::CheckBox;
        default:
            return Kind::PushButton;
        }
    }
    return (control.style & 0x3u) == CBS_DROPDOWNLIST ? Kind::DropList : Kind::Combo;
}

struct ExpectedControl {
    int id; // 16-bit, as the layout tables give it
    Kind kind;
    const char* text;
    int x, y, cx, cy;
};

void ExpectControls(const rc::DialogTemplate& dialog, const std::vector<ExpectedControl>& want) {
    ASSERT_EQ(dialog.controlCount, static_cast<int>(want.size())) << "dialog " << dialog.id;
    for (int i = 0; i < dialog.controlCount; ++i) {
        const rc::ControlTemplate& got = dialog.controls[i];
        const ExpectedControl& expected = want[static_cast<std::size_t>(i)];
        SCOPED_TRACE("dialog " + std::to_string(dialog.id) + ", control " + std::to_string(i));
        EXPECT_EQ(static_cast<WORD>(got.id), expected.id);
        EXPECT_STREQ(KindName(KindOf(got)), KindName(expected.kind));
        EXPECT_STREQ(got.text, expected.text);
        EXPECT_EQ((std::vector<int>{got.x, got.y, got.cx, got.cy}),
                  (std::vector<int>{expected.x, expected.y, expected.cx, expected.cy}));
        EXPECT_NE(got.style & WS_CHILD, 0u);
        EXPECT_NE(got.style & WS_VISIBLE, 0u);
        EXPECT_EQ(got.style & WS_DISABLED, 0u);
    }
}

void ExpectFrame(const rc::DialogTemplate& dialog, bool closeBox, int cx, int cy) {
    SCOPED_TRACE("dialog " + std::to_string(dialog.id));
    const DWORD frame = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_CENTER | DS_SETFONT;
    EXPECT_EQ(dialog.style & frame, frame);
    EXPECT_EQ((dialog.style & WS_SYSMENU) != 0, closeBox);
    EXPECT_EQ((std::vector<int>{dialog.x, dialog.y, dialog.cx, dialog.cy}),
              (std::vector<int>{0, 0, cx, cy}));
    EXPECT_EQ(dialog.fontSize, 8);
    EXPECT_STREQ(dialog.fontName, "MS Sans Serif");
}

const rc::ControlTemplate& ControlById(const rc::DialogTemplate& dialog, int id) {
    for (int i = 0; i < dialog.controlCount; ++i) {
        if (dialog.controls[i].id == id) {
            return dialog.controls[i];
        }
    }
    static const rc::ControlTemplate none{"", "", "", 0, 0, 0, 0, 0, 0, 0, 0};
    ADD_FAILURE() << "no control " << id << " in dialog " << dialog.id;
    return none;
}

TEST_F(RcTablesTest, ProgressWindowTemplate) {
    const rc::DialogTemplate* dialog = rc::FindDialog(IDD_PROGRESS);
    ASSERT_NE(dialog, nullptr);
    ExpectFrame(*dialog, false, 213, 66);
    EXPECT_STREQ(dialog->caption, "Printing Labels");
    ExpectControls(*dialog, {{1008, Kind::ReadOnlyEdit, "", 5, 10, 200, 12},
                             {3, Kind::PushButton, "About", 155, 45, 50, 14}});
    EXPECT_EQ(ControlById(*dialog, IDC_STATUS_LINE).style & ES_MULTILINE, 0u);
}

TEST_F(RcTablesTest, HelpAndAboutTemplate) {
    const rc::DialogTemplate* dialog = rc::FindDialog(IDD_INFO);
    ASSERT_NE(dialog, nullptr);
    ExpectFrame(*dialog, true, 267, 191);
    EXPECT_EQ(dialog->caption, nullptr);
    ExpectControls(*dialog, {{2, Kind::Icon, "", 7, 6, 21, 20},
                             {1012, Kind::Label, "", 33, 6, 227, 10},
                             {1013, Kind::Label, "", 33, 18, 227, 10},
                             {1, Kind::DefaultButton, "OK", 210, 170, 51, 15},
                             {1011, Kind::ReadOnlyEdit, "", 5, 35, 255, 130}});
    EXPECT_EQ(ControlById(*dialog, IDC_INFO_ICON).imageId, IDI_TAGWRIGHT);
    EXPECT_EQ(ControlById(*dialog, IDC_INFO_TITLE).style & (SS_TYPEMASK | SS_NOPREFIX),
              SS_LEFTNOWORDWRAP | SS_NOPREFIX);
    EXPECT_NE(ControlById(*dialog, IDOK).style & WS_TABSTOP, 0u);
    const DWORD text = ControlById(*dialog, IDC_INFO_TEXT).style;
    const DWORD wanted =
        ES_MULTILINE | ES_READONLY | WS_BORDER | WS_VSCROLL | ES_AUTOVSCROLL | ES_NOHIDESEL;
    EXPECT_EQ(text & wanted, wanted);
    EXPECT_EQ(text & WS_TABSTOP, 0u);
}

TEST_F(RcTablesTest, SettingsTemplate) {
    const rc::DialogTemplate* dialog = rc::FindDialog(IDD_SETTINGS);
    ASSERT_NE(dialog, nullptr);
    ExpectFrame(*dialog, true, 215, 257);
    EXPECT_NE(dialog->style & WS_MINIMIZEBOX, 0u);
    EXPECT_EQ(dialog->caption, nullptr);
    ExpectControls(*dialog, {
                                {1006, Kind::DropList, "", 70, 10, 64, 80},
                                {1000, Kind::Combo, "", 70, 35, 64, 80},
                                {1018, Kind::Edit, "", 70, 60, 64, 12},
                                {1003, Kind::DropList, "", 70, 85, 64, 65},
                                {1004, Kind::DropList, "", 70, 110, 64, 65},
                                {1005, Kind::DropList, "", 70, 135, 64, 65},
                                {1002, Kind::Edit, "", 70, 160, 64, 12},
                                {1007, Kind::DropList, "", 70, 185, 64, 65},
                                {1023, Kind::CheckBox, "Check status", 143, 185, 64, 12},
                                {1009, Kind::Edit, "", 70, 210, 64, 12},
                                {1024, Kind::DropList, "", 70, 235, 64, 50},
                                {1, Kind::DefaultButton, "OK", 147, 10, 50, 12},
                                {2, Kind::PushButton, "Cancel", 147, 27, 50, 12},
                                {9, Kind::PushButton, "Help", 147, 44, 50, 12},
                                {1020, Kind::Label, "Printer Type", 16, 10, 41, 12},
                                {1021, Kind::Label, "Port", 16, 35, 41, 12},
                                {1022, Kind::Label, "Baud Rate", 16, 60, 41, 12},
                                {65535, Kind::Label, "Data Bits", 16, 85, 41, 12},
                                {65535, Kind::Label, "Parity", 16, 110, 41, 12},
                                {65535, Kind::Label, "Stop Bits", 16, 135, 41, 12},
                                {65535, Kind::Label, "Delay", 16, 160, 41, 12},
                                {65535, Kind::Label, "Attempts", 16, 185, 41, 12},
                                {65535, Kind::Label, "Timeout", 16, 210, 41, 12},
                                {65535, Kind::Label, "Confirm", 16, 235, 41, 12},
                            });
    struct Sorting {
        int id;
        bool sorted;
    };
    for (Sorting list :
         {Sorting{1006, false}, Sorting{1000, true}, Sorting{1003, true}, Sorting{1004, true},
          Sorting{1005, true}, Sorting{1007, false}, Sorting{1024, false}}) {
        EXPECT_EQ((ControlById(*dialog, list.id).style & CBS_SORT) != 0, list.sorted) << list.id;
    }
    for (int i = 0; i < dialog->controlCount; ++i) {
        const rc::ControlTemplate& control = dialog->controls[i];
        bool isLabel = std::string(control.className) == "Static";
        EXPECT_EQ((control.style & WS_TABSTOP) != 0, !isLabel) << control.id;
        if (isLabel) {
            EXPECT_EQ(control.style & (SS_TYPEMASK | SS_CENTERIMAGE), SS_RIGHT | SS_CENTERIMAGE)
                << control.text;
        }
    }
    const DWORD baud = ControlById(*dialog, IDC_BAUD_OR_ADDRESS).style;
    EXPECT_EQ(baud & (ES_AUTOHSCROLL | WS_BORDER), ES_AUTOHSCROLL | WS_BORDER);
    EXPECT_EQ(baud & ES_NUMBER, 0u);
    const DWORD delay = ControlById(*dialog, IDC_DELAY).style;
    EXPECT_EQ(delay & (ES_NUMBER | WS_BORDER), ES_NUMBER | WS_BORDER);
}

TEST_F(RcTablesTest, EveryQuotedStringIsInTheTable) {
    struct Quoted {
        UINT id;
        const char* text;
    };
    const Quoted quoted[] = {
        {103, "Tagwright Settings"},
        {104, "Tagwright Settings Help"},
        {105, "Tagwright About"},
        {109, "Tagwright 4.3.120104"},
        {110, "Copyright (C) 2012-2026 Velmora Software"},
        {114, "Software\\Velmora Software\\Tagwright\\1.0"},
        {115, "The program must be called with a file name on the command line."},
        {116, "Unable to access registry. (%d) %s"},
        {117, "File input error on %s.  Returned (%d) %s"},
        {118, "Could not open COMM port for %s.  Returned (%d) %s"},
        {119, "Read/write error: (%d) %s"},
        {120, "Starting up..."},
        {121, "Opening input file..."},
        {122, "Setting up communication port..."},
        {123, "Sending data to the label printer..."},
        {124, "Complete"},
        {125, "The Port is improperly configured for %s.  Returned (%d) %s"},
        {126, "Could not retrieve Port settings for %s.  Returned (%d) %s"},
        {127, "Could not write data to Port for %s.  Returned (%d) %s"},
        {150, "Could not retreive list of printers from operating system.  Returned(%d) %s"},
        {151, "Unable to access the initialization file."},
        {152, "Could not print %s on the printer queue: OpenPrinter returned (%d) %s"},
        {153, "Could not print %s on the printer queue: StartDocPrinter returned (%d) %s"},
        {154, "Could not print %s on the printer queue: WritePrinter returned (%d) %s"},
        {155, "Could not print %s on the printer queue: EndDocPrinter returned (%d) %s"},
        {156, "The printer is not ready (%s) for %s."},
        {157, "paper out"},
        {158, "ribbon out"},
        {159, "head open"},
        {160, "paused"},
        {161, "The command line cannot be understood: %s"},
    };
    for (const Quoted& q : quoted) {
        const rc::StringResource* found = rc::FindString(q.id);
        ASSERT_NE(found, nullptr) << q.id;
        EXPECT_STREQ(found->text, q.text) << q.id;
        EXPECT_EQ(found->length, std::string(q.text).size()) << q.id;
    }
    // 111 and 112 are compared in full by the Help and About window tests; here their shape.
    const rc::StringResource* help = rc::FindString(IDS_HELP_TEXT);
    ASSERT_NE(help, nullptr);
    std::string text(help->text, help->length);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    lines.push_back(text.substr(start));
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[20], "");
    std::size_t lineFeeds = 0;
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) {
        EXPECT_EQ(text[at - 1], '\r') << "bare line feed at " << at;
        ++lineFeeds;
    }
    EXPECT_EQ(lineFeeds, 20u);
    for (std::size_t line : {3u, 5u, 7u, 9u, 11u, 13u}) {
        EXPECT_EQ(lines[line].substr(0, 3).find_first_not_of(' '), 2u) << "line " << line + 1;
    }
    const rc::StringResource* about = rc::FindString(IDS_ABOUT_TEXT);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(std::string(about->text).find('\n'), std::string::npos);
    // Ids that the program never uses have no text.
    for (UINT unused : {0u, 106u, 113u, 128u, 162u}) {
        EXPECT_EQ(rc::FindString(unused), nullptr) << unused;
    }
}

// ---- The generator ----

std::string RepositoryRoot() {
    std::string file = __FILE__;
    std::size_t at = file.rfind("/tests/substitute/");
    return at == std::string::npos ? std::string() : file.substr(0, at);
}

// A plain interpreter starts far faster than a version manager's shim.
std::string Python() {
    for (const char* candidate : {"/usr/bin/python3", "/usr/local/bin/python3"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return std::system("python3 --version >/dev/null 2>&1") == 0 ? "python3" : "";
}

struct Generated {
    int exitCode;
    std::string errors;
    std::string output;
};

// extraHeader, when given, is written as ver.h and passed as a further header.
Generated RunGenerator(const std::string& rcText, const std::string& header,
                       const std::string& extraHeader = "") {
    char directory[] = "/tmp/rc_tables_testXXXXXX";
    EXPECT_NE(mkdtemp(directory), nullptr);
    std::string base = directory;
    std::ofstream(base + "/test.rc") << rcText;
    std::ofstream(base + "/ids.h") << header;
    std::string command = Python() + " '" + RepositoryRoot() + "/scripts/rc_to_tables.py' '" +
                          base + "/test.rc' '" + base + "/ids.h' '" + base + "/out.cpp'";
    if (!extraHeader.empty()) {
        std::ofstream(base + "/ver.h") << extraHeader;
        command += " '" + base + "/ver.h'";
    }
    command += " 2>'" + base + "/errors.txt'";
    int status = std::system(command.c_str());
    Generated result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", ""};
    std::stringstream errors;
    errors << std::ifstream(base + "/errors.txt").rdbuf();
    result.errors = errors.str();
    std::ifstream out(base + "/out.cpp");
    if (out) {
        std::stringstream content;
        content << out.rdbuf();
        result.output = content.str();
    }
    std::system(("rm -rf '" + base + "'").c_str());
    return result;
}

const char* const kGoodDialog = "#include <windows.h>\n"
                                "#include \"ids.h\"\n"
                                "IDD_ONE DIALOGEX 0, 0, 10, 20\n"
                                "STYLE DS_MODALFRAME | WS_POPUP | WS_CAPTION\n"
                                "FONT 8, \"MS Sans Serif\"\n"
                                "BEGIN\n"
                                "    EDITTEXT IDC_FIELD, 1, 2, 3, 4, ES_READONLY | NOT WS_BORDER\n"
                                "END\n";

TEST_F(RcTablesTest, GeneratorDerivesStylesAndEscapes) {
    if (Python().empty()) {
        GTEST_SKIP() << "python3 is not available";
    }
    Generated result =
        RunGenerator(std::string(kGoodDialog) +
                         "STRINGTABLE\nBEGIN\n    7 \"a \"\"quoted\"\" \\\\ and\\r\\n\"\nEND\n",
                     "#define IDD_ONE 5\n#define IDC_FIELD 6\n");
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    // WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY, the border taken away by NOT.
    EXPECT_NE(result.output.find("\"EDITTEXT\", \"Edit\", \"\", 0, 6, 0x50010800u"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("{5, 0x80C00080u"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("{7u, \"a \\\"quoted\\\" \\\\ and\\015\\012\", 18u}"),
              std::string::npos)
        << result.output;
}

TEST_F(RcTablesTest, GeneratorRefusesWhatItDoesNotUnderstand) {
    if (Python().empty()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const std::string header = "#define IDD_ONE 5\n#define IDC_FIELD 6\n";
    const std::string strings = "STRINGTABLE\nBEGIN\n 1 \"x\"\nEND\n";
    struct Case {
        std::string rc;
        const char* message;
    };
    const Case cases[] = {
        {std::string(kGoodDialog) + strings + "MENU1 MENU\nBEGIN\nEND\n", "unsupported statement"},
        {std::string(kGoodDialog) + "STRINGTABLE\nBEGIN\n 1 \"x\\q\"\nEND\n", "unknown escape"},
        {std::string(kGoodDialog) + "STRINGTABLE\nBEGIN\n 1 \"open\nEND\n", "string"},
        {std::string(kGoodDialog) + "STRINGTABLE\nBEGIN\n 1 \"a\"\n 1 \"b\"\nEND\n",
         "defined twice"},
        {"#define X 1\n" + std::string(kGoodDialog) + strings, "unsupported preprocessor line"},
        {"#include \"other.h\"\n" + std::string(kGoodDialog) + strings, "only ids.h"},
        {std::string(kGoodDialog) +
             "IDD_TWO DIALOGEX 0,0,1,1\nSTYLE WS_POPUP\nFONT 8, \"x\"\n"
             "BEGIN\n LISTBOX IDC_FIELD, 1, 2, 3, 4\nEND\n" +
             strings,
         "unknown name IDD_TWO"},
        {std::string(kGoodDialog) +
             "6 DIALOGEX 0,0,1,1\nSTYLE WS_POPUP\nFONT 8, \"x\"\n"
             "BEGIN\n LISTBOX IDC_FIELD, 1, 2, 3, 4\nEND\n" +
             strings,
         "unsupported control statement LISTBOX"},
        {std::string(kGoodDialog) +
             "6 DIALOGEX 0,0,1,1\nSTYLE WS_POPUP\nFONT 8, \"x\"\n"
             "BEGIN\n CONTROL \"\", 1, \"SysListView32\", 0, 1,2,3,4\n"
             "END\n" +
             strings,
         "unsupported control class SysListView32"},
        {std::string(kGoodDialog) +
             "6 DIALOGEX 0,0,1,1\nSTYLE WS_POPUP | WS_SHINY\n"
             "FONT 8, \"x\"\nBEGIN\nEND\n" +
             strings,
         "unknown name WS_SHINY"},
        {kGoodDialog, "no string table"},
    };
    for (const Case& c : cases) {
        Generated result = RunGenerator(c.rc, header);
        EXPECT_EQ(result.exitCode, 1) << c.message;
        EXPECT_NE(result.errors.find(c.message), std::string::npos)
            << "expected '" << c.message << "' in: " << result.errors;
        EXPECT_EQ(result.output, "") << c.message; // nothing half-written
    }
}

// The version texts come from a generated header: a string #define stands for a string-table
// text, and only where a text is expected.
TEST_F(RcTablesTest, GeneratorTakesTextsFromAFurtherHeader) {
    if (Python().empty()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const std::string ids = "#define IDD_ONE 5\n#define IDC_FIELD 6\n";
    const std::string version = "#pragma once\n#define TITLE \"Name 1.2.30004\"\n#define MAJOR 1\n";
    const std::string rc = "#include \"ver.h\"\n" + std::string(kGoodDialog);
    struct Case {
        std::string table;
        int exitCode;
        const char* expected; // in the output, or in the errors when the run fails
    };
    const Case cases[] = {
        {"STRINGTABLE\nBEGIN\n 7 TITLE\n 8 \"plain\"\nEND\n", 0, "{7u, \"Name 1.2.30004\", 14u}"},
        {"STRINGTABLE\nBEGIN\n MAJOR TITLE\nEND\n", 0, "{1u, \"Name 1.2.30004\", 14u}"},
        {"STRINGTABLE\nBEGIN\n 7 MAJOR\nEND\n", 1, "expected string, found 'MAJOR'"},
        {"STRINGTABLE\nBEGIN\n 7 UNKNOWN\nEND\n", 1, "expected string, found 'UNKNOWN'"},
        {"STRINGTABLE\nBEGIN\n TITLE \"x\"\nEND\n", 1, "unknown name TITLE"},
    };
    for (const Case& c : cases) {
        Generated result = RunGenerator(rc + c.table, ids, version);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.table << result.errors;
        const std::string& where = c.exitCode == 0 ? result.output : result.errors;
        EXPECT_NE(where.find(c.expected), std::string::npos) << c.table << where;
    }
    // Without the header, its name is not known.
    Generated alone = RunGenerator(rc + cases[0].table, ids);
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_NE(alone.errors.find("only ids.h may be included, not ver.h"), std::string::npos)
        << alone.errors;
}

} // namespace
