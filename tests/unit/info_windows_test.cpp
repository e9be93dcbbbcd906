// The Help and About windows: their texts, their keys, and two Help windows open at once.
#include "settings/info_windows.h"

#include "platform/testing.h"
#include "resources/resource_ids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class InfoWindowsTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override { EXPECT_TRUE(substitute::JoinThreads()); }
};

struct ShownTexts {
    std::string caption;
    std::string title;
    std::string copyright;
    std::string body;
    bool bodyTakesTyping = true;
};

// Opens the window with `show`, reads what it shows, and closes it with OK.
ShownTexts Read(int (*show)(HINSTANCE)) {
    ShownTexts shown;
    substitute::OnDialogOpened([&shown](HWND dialog, int) {
        shown.caption = substitute::WindowCaption(dialog);
        shown.title = substitute::ControlText(dialog, IDC_INFO_TITLE);
        shown.copyright = substitute::ControlText(dialog, IDC_INFO_COPYRIGHT);
        shown.body = substitute::ControlText(dialog, IDC_INFO_TEXT);
        shown.bodyTakesTyping = substitute::TypeText(dialog, IDC_INFO_TEXT, "typed");
        EXPECT_TRUE(substitute::PressButton(dialog, IDOK));
    });
    EXPECT_EQ(show(nullptr), 1);
    return shown;
}

std::string JoinedWithCrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (i + 1 < lines.size()) {
            text += "\r\n";
        }
    }
    return text;
}

TEST_F(InfoWindowsTest, HelpWindowShowsTheHelpTexts) {
    const std::vector<std::string> lines = {
        "This program will redirect printer output to a serial, parallel, TCP/IP, or USB label "
        "printer, and is for use by Velmora Corvane(tm) Lumadesk and Velmora Dastrel(tm) on "
        "EPL2 and ZPL II label printers.",
        "",
        "Setup:",
        "  1. Select the type of label printer to use from the choices of Serial, Parallel, "
        "TCP/IP, and USB.",
        "",
        "  2. If the printer is connected via serial, parallel, or TCP/IP, then select the port "
        "that the label printer is connected to.  If the printer is hooked up to a USB port, "
        "first install the Zebra print driver.  Then, instead of selecting a port, select the "
        "name of the label printer.",
        "",
        "  3. For Serial Printers, set the baud rate, data bits, parity, and stop bits to the "
        "correct settings for your label printer.",
        "",
        "  For Parallel, TCP/IP, and USB Printers, skip to step 4.",
        "",
        "  4. Set the length of the delay, in milliseconds, before opening the port, and set "
        "the number of attempts at opening the port before timing out.",
        "",
        "  5. Select OK.",
        "",
        "These settings are stored in the system registry.",
        "Prior to Windows 7 at",
        "HKEY_CURRENT_USER\\SOFTWARE\\Velmora Software\\Tagwright\\1.0",
        "Windows 7 and later at",
        "HKEY_CURRENT_USER\\SOFTWARE\\Wow6432Node\\Velmora Software\\Tagwright\\1.0",
        "", // the text ends with CR LF
    };
    ASSERT_EQ(lines.size(), 21u);
    ShownTexts shown = Read(ShowHelpWindow);
    EXPECT_EQ(shown.caption, "Tagwright Settings Help");
    EXPECT_EQ(shown.title, "Tagwright 4.3.120104");
    EXPECT_EQ(shown.copyright, "Copyright (C) 2012-2026 Velmora Software");
    EXPECT_EQ(shown.body, JoinedWithCrLf(lines));
    EXPECT_FALSE(shown.bodyTakesTyping); // read-only
}

TEST_F(InfoWindowsTest, AboutWindowShowsTheAboutTexts) {
    ShownTexts shown = Read(ShowAboutWindow);
    EXPECT_EQ(shown.caption, "Tagwright About");
    EXPECT_EQ(shown.title, "Tagwright 4.3.120104");
    EXPECT_EQ(shown.copyright, "Copyright (C) 2012-2026 Velmora Software");
    EXPECT_EQ(shown.body,
              "This program will redirect printer output to a serial, parallel, TCP/IP, or USB "
              "label printer, and is for use by Corvane Lumadesk, Corvane CT, and Dastrel with "
              "EPL2 and ZPLII label printers.");
    EXPECT_FALSE(shown.bodyTakesTyping);
}

// The dialog results in the order the windows closed, from the call log.
std::vector<std::string> ClosedDialogs() {
    std::vector<std::string> closed;
    for (const std::string& call : substitute::CallLog()) {
        if (call.rfind("DialogClosed", 0) == 0) {
            closed.push_back(call);
        }
    }
    return closed;
}

TEST_F(InfoWindowsTest, OkAndEnterCloseWithOneTheCloseBoxWithZeroEscapeDoesNothing) {
    struct Case {
        const char* keys;
        bool (*press)(HWND);
        const char* closed;
    };
    const Case cases[] = {
        {"OK", [](HWND dialog) { return substitute::PressButton(dialog, IDOK); },
         "DialogClosed 103 1"},
        {"Enter", substitute::PressEnter, "DialogClosed 103 1"},
        {"close box", substitute::PressCloseBox, "DialogClosed 103 0"},
    };
    for (int (*show)(HINSTANCE) : {ShowHelpWindow, ShowAboutWindow}) {
        for (const Case& c : cases) {
            substitute::ClearCallLog();
            std::vector<int> openAfterEscape;
            substitute::OnDialogOpened([&c, &openAfterEscape](HWND dialog, int) {
                EXPECT_TRUE(substitute::PressEscape(dialog));
                openAfterEscape = substitute::OpenDialogs();
                EXPECT_TRUE(c.press(dialog));
            });
            EXPECT_EQ(show(nullptr), 1);
            EXPECT_EQ(openAfterEscape, std::vector<int>{IDD_INFO}) << c.keys;
            EXPECT_EQ(ClosedDialogs(), std::vector<std::string>{c.closed}) << c.keys;
        }
    }
}

// Stands in for the settings window: its Help button opens a Help window each time.
INT_PTR CALLBACK HelpOpener(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_HELP_BUTTON) {
        ShowHelpWindow(nullptr);
        return TRUE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 2);
        return TRUE;
    }
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

TEST_F(InfoWindowsTest, TwoHelpWindowsOpenAtOnceEachClosedOnItsOwn) {
    int helpWindows = 0;
    std::vector<int> openWithTwo;
    std::vector<int> openAfterSecondClosed;
    substitute::OnDialogOpened([&](HWND dialog, int templateId) {
        if (templateId == IDD_SETTINGS) {
            EXPECT_TRUE(substitute::PressButton(dialog, IDC_HELP_BUTTON));
            EXPECT_TRUE(substitute::PressEscape(dialog));
            return;
        }
        ++helpWindows;
        if (helpWindows == 1) {
            // The settings window stays usable: Help again opens a second window.
            EXPECT_TRUE(
                substitute::PressButton(substitute::FindOpenDialog(IDD_SETTINGS), IDC_HELP_BUTTON));
            openAfterSecondClosed = substitute::OpenDialogs();
            EXPECT_TRUE(substitute::PressCloseBox(dialog));
        } else {
            openWithTwo = substitute::OpenDialogs();
            EXPECT_NE(substitute::FindOpenDialog(IDD_INFO), nullptr);
            EXPECT_EQ(substitute::WindowCaption(dialog), "Tagwright Settings Help");
            EXPECT_TRUE(substitute::PressButton(dialog, IDOK));
        }
    });
    INT_PTR result =
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_SETTINGS), nullptr, HelpOpener, 0);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(helpWindows, 2);
    EXPECT_EQ(openWithTwo, (std::vector<int>{IDD_SETTINGS, IDD_INFO, IDD_INFO}));
    EXPECT_EQ(openAfterSecondClosed, (std::vector<int>{IDD_SETTINGS, IDD_INFO}));
    EXPECT_EQ(ClosedDialogs(), (std::vector<std::string>{"DialogClosed 103 1", "DialogClosed 103 0",
                                                         "DialogClosed 129 2"}));
}

} // namespace
