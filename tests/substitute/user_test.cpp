// The substitute window system: modal dialogs, cross-thread sends, nested loops, controls,
// the dialog manager's keys, LoadStringA, FormatMessageA and MessageBoxA.
#include "platform/testing.h"
#include "resources/resource_ids.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A dialog that nobody closes fails the running test instead of hanging the run.
const bool kStallsFailTests = [] {
    substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
    return true;
}();

constexpr UINT WM_TEST_PING = WM_APP + 20; // wParam: sequence number
constexpr UINT WM_TEST_END = WM_APP + 21;  // lParam: dialog result

class UserWindowsTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override { EXPECT_TRUE(substitute::JoinThreads()); }
};

// ---- A progress-like dialog whose worker pings it from another thread ----

struct PingRecord {
    std::thread::id dialogThread;
    std::vector<std::thread::id> handledOn;
    std::atomic<int> handled{0};
    std::vector<int> seenBySender; // handled count observed right after each send returned
    std::vector<LRESULT> replies;
    HWND dialog = nullptr;
    int pings = 3;
    bool pingAfterEnd = false;
    LRESULT replyAfterEnd = -7;
};

PingRecord* g_ping = nullptr;

DWORD WINAPI PingWorker(LPVOID) {
    for (int i = 1; i <= g_ping->pings; ++i) {
        g_ping->replies.push_back(SendMessageA(g_ping->dialog, WM_TEST_PING, i, 0));
        g_ping->seenBySender.push_back(g_ping->handled.load());
    }
    SendMessageA(g_ping->dialog, WM_TEST_END, 0, 42);
    if (g_ping->pingAfterEnd) {
        g_ping->replyAfterEnd = SendMessageA(g_ping->dialog, WM_TEST_PING, 99, 0);
    }
    return 0;
}

INT_PTR CALLBACK PingDialog(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        g_ping->dialog = dialog;
        HANDLE thread = CreateThread(nullptr, 1024, PingWorker, nullptr, 0, nullptr);
        CloseHandle(thread);
        return FALSE;
    }
    case WM_TEST_PING:
        g_ping->handledOn.push_back(std::this_thread::get_id());
        ++g_ping->handled;
        return TRUE;
    case WM_TEST_END:
        EndDialog(dialog, lParam);
        return TRUE;
    default:
        return FALSE;
    }
}

TEST_F(UserWindowsTest, CrossThreadSendIsHandledOnTheDialogThreadWhileTheSenderWaits) {
    PingRecord record;
    record.dialogThread = std::this_thread::get_id();
    g_ping = &record;
    INT_PTR result =
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, PingDialog, 0);
    ASSERT_TRUE(substitute::JoinThreads());
    EXPECT_EQ(result, 42);
    ASSERT_EQ(record.handledOn.size(), 3u);
    for (std::thread::id handledOn : record.handledOn) {
        EXPECT_EQ(handledOn, record.dialogThread);
    }
    EXPECT_EQ(record.seenBySender, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(IsWindow(record.dialog));
    g_ping = nullptr;
}

TEST_F(UserWindowsTest, SendToAnEndedDialogReturnsZeroWithoutDelivery) {
    PingRecord record;
    record.pings = 0;
    record.pingAfterEnd = true;
    g_ping = &record;
    INT_PTR result =
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, PingDialog, 0);
    ASSERT_TRUE(substitute::JoinThreads());
    EXPECT_EQ(result, 42);
    EXPECT_EQ(record.replyAfterEnd, 0);
    EXPECT_EQ(record.handled.load(), 0);
    g_ping = nullptr;
}

// ---- Nested modal loops ----

INT_PTR CALLBACK InnerDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

INT_PTR CALLBACK OuterDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_ABOUT_BUTTON) {
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_INFO), nullptr, InnerDialog, 0);
        return TRUE;
    }
    if (message == WM_INITDIALOG) {
        g_ping->dialog = dialog;
        return FALSE;
    }
    if (message == WM_TEST_PING) {
        ++g_ping->handled;
        return TRUE;
    }
    if (message == WM_TEST_END) {
        EndDialog(dialog, lParam);
        return TRUE;
    }
    return FALSE;
}

TEST_F(UserWindowsTest, OuterDialogEndedDuringInnerLoopClosesWhenTheInnerCloses) {
    PingRecord record;
    g_ping = &record;
    std::vector<int> openWhenEnded;
    substitute::OnDialogOpened([](HWND dialog, int templateId) {
        if (templateId == IDD_PROGRESS) {
            EXPECT_TRUE(substitute::PressButton(dialog, IDC_ABOUT_BUTTON));
        } else {
            HANDLE thread = CreateThread(nullptr, 0, PingWorker, nullptr, 0, nullptr);
            CloseHandle(thread);
        }
    });
    substitute::OnMessageHandled(
        [&openWhenEnded](HWND, int templateId, UINT message, WPARAM, LPARAM) {
            EXPECT_EQ(templateId, IDD_PROGRESS); // handled inside the About window's loop
            if (message == WM_TEST_END) {
                openWhenEnded = substitute::OpenDialogs();
                EXPECT_TRUE(substitute::PressEnter(substitute::FindOpenDialog(IDD_INFO)));
            }
        });
    INT_PTR result =
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, OuterDialog, 0);
    ASSERT_TRUE(substitute::JoinThreads());
    EXPECT_EQ(result, 42);
    EXPECT_EQ(record.handled.load(), 3);
    EXPECT_EQ(openWhenEnded, (std::vector<int>{IDD_PROGRESS, IDD_INFO}));
    std::vector<std::string> closing;
    for (const std::string& call : substitute::CallLog()) {
        if (call.rfind("EndDialog", 0) == 0 || call.rfind("DialogClosed", 0) == 0) {
            closing.push_back(call);
        }
    }
    EXPECT_EQ(closing, (std::vector<std::string>{"EndDialog 133 42", "EndDialog 103 1",
                                                 "DialogClosed 103 1", "DialogClosed 133 42"}));
    EXPECT_TRUE(substitute::OpenDialogs().empty());
    g_ping = nullptr;
}

// ---- Keys and buttons ----

std::vector<std::pair<UINT, WPARAM>>* g_commands = nullptr;

INT_PTR CALLBACK RecordingDialog(HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND || message == WM_CLOSE) {
        g_commands->push_back({message, wParam});
    }
    return FALSE;
}

TEST_F(UserWindowsTest, KeysReachTheProcedureAsTheDialogManagerSendsThem) {
    std::vector<std::pair<UINT, WPARAM>> commands;
    g_commands = &commands;
    struct Case {
        int templateId;
        bool (*press)(HWND);
        bool accepted;
        std::vector<std::pair<UINT, WPARAM>> expected;
    };
    const Case cases[] = {
        // Default push button OK (1) in 103; no default button in 133, so IDOK.
        {IDD_INFO, substitute::PressEnter, true, {{WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)}}},
        {IDD_PROGRESS, substitute::PressEnter, true, {{WM_COMMAND, IDOK}}},
        {IDD_INFO, substitute::PressEscape, true, {{WM_COMMAND, IDCANCEL}}},
        // Close box: WM_CLOSE, then the default handling's IDCANCEL.
        {IDD_INFO, substitute::PressCloseBox, true, {{WM_CLOSE, 0}, {WM_COMMAND, IDCANCEL}}},
        {IDD_PROGRESS, substitute::PressCloseBox, false, {}},
    };
    for (const Case& c : cases) {
        commands.clear();
        bool accepted = false;
        substitute::OnDialogOpened([&c, &accepted](HWND dialog, int) {
            accepted = c.press(dialog);
            EndDialog(dialog, 0);
        });
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(c.templateId), nullptr, RecordingDialog, 0);
        EXPECT_EQ(accepted, c.accepted) << "template " << c.templateId;
        EXPECT_EQ(commands, c.expected) << "template " << c.templateId;
    }
    g_commands = nullptr;
}

INT_PTR CALLBACK EndOnAnyCommand(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND) {
        EndDialog(dialog, static_cast<INT_PTR>(wParam));
        return TRUE;
    }
    return FALSE;
}

TEST_F(UserWindowsTest, DisabledOrMissingButtonsCannotBePressed) {
    substitute::OnDialogOpened([](HWND dialog, int) {
        EXPECT_FALSE(substitute::PressButton(dialog, 4242));
        EXPECT_FALSE(substitute::PressButton(dialog, IDC_INFO_TITLE)); // a label
        EXPECT_FALSE(EnableWindow(GetDlgItem(dialog, IDOK), FALSE));   // was enabled
        EXPECT_FALSE(substitute::PressButton(dialog, IDOK));
        EXPECT_FALSE(substitute::PressEnter(dialog));
        EXPECT_TRUE(EnableWindow(GetDlgItem(dialog, IDOK), TRUE)); // was disabled
        EXPECT_TRUE(substitute::PressButton(dialog, IDOK));
    });
    INT_PTR result =
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_INFO), nullptr, EndOnAnyCommand, 0);
    EXPECT_EQ(result, static_cast<INT_PTR>(MAKEWPARAM(IDOK, BN_CLICKED)));
}

TEST_F(UserWindowsTest, ADialogDrivenFromAnotherThreadActsOnItsOwnThread) {
    std::atomic<INT_PTR> result{0};
    std::thread dialogThread([&result] {
        result = DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_INFO), nullptr, EndOnAnyCommand, 0);
    });
    HWND dialog = nullptr;
    for (int i = 0; i < 2000 && dialog == nullptr; ++i) {
        dialog = substitute::FindOpenDialog(IDD_INFO);
        if (dialog == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(SetDlgItemTextA(dialog, IDC_INFO_TITLE, "set from the test thread"));
    EXPECT_EQ(substitute::ControlText(dialog, IDC_INFO_TITLE), "set from the test thread");
    EXPECT_TRUE(substitute::PressEnter(dialog));
    dialogThread.join();
    EXPECT_EQ(result.load(), static_cast<INT_PTR>(MAKEWPARAM(IDOK, BN_CLICKED)));
    EXPECT_FALSE(substitute::PressEnter(dialog)); // gone
}

TEST_F(UserWindowsTest, MissingTemplateOrScriptedFailureGivesMinusOne) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(999), nullptr, EndOnAnyCommand, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    substitute::FailNext("DialogBoxParamA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_INFO), nullptr, EndOnAnyCommand, 0),
              -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(substitute::OpenDialogs().empty());
}

TEST_F(UserWindowsTest, AStalledDialogEndsWithMinusOneAndIsReported) {
    std::vector<std::string> reports;
    substitute::SetFailureReporter(
        [&reports](const std::string& what) { reports.push_back(what); });
    substitute::SetDialogStallTimeout(30);
    INT_PTR result =
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_INFO), nullptr, RecordingDialog, 0);
    substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(substitute::StalledDialogs(), 1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("dialog 103"), std::string::npos) << reports[0];
}

// ---- Controls ----

INT_PTR CALLBACK PassiveDialog(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

// Runs `body` inside an open settings template with a passive procedure, then closes it.
template <class Body> void WithDialog(int templateId, Body body) {
    substitute::OnDialogOpened([&body](HWND dialog, int) {
        body(dialog);
        EndDialog(dialog, 0);
    });
    DialogBoxParamA(nullptr, MAKEINTRESOURCEA(templateId), nullptr, PassiveDialog, 0);
    substitute::OnDialogOpened(nullptr);
}

LRESULT Add(HWND dialog, int id, const char* text) {
    return SendDlgItemMessageA(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

TEST_F(UserWindowsTest, SortedListsInsertIgnoringCaseUnsortedKeepTheOrderOfAdding) {
    WithDialog(IDD_SETTINGS, [](HWND dialog) {
        struct Step {
            int list;
            const char* text;
            LRESULT index;
        };
        const Step steps[] = {
            {IDC_PARITY, "none", 0},         {IDC_PARITY, "even", 0},
            {IDC_PARITY, "odd", 2},          {IDC_PARITY, "Even", 1}, // after the equal "even"
            {IDC_PORT, "COM2", 0},           {IDC_PORT, "9100", 0},
            {IDC_PORT, "com1", 1},           {IDC_PORT, "10.0.0.1", 0},
            {IDC_PRINTER_TYPE, "Serial", 0}, {IDC_PRINTER_TYPE, "Parallel", 1},
            {IDC_PRINTER_TYPE, "TCP/IP", 2}, {IDC_PRINTER_TYPE, "USB", 3},
        };
        for (const Step& step : steps) {
            EXPECT_EQ(Add(dialog, step.list, step.text), step.index) << step.text;
        }
        EXPECT_EQ(substitute::ListEntries(dialog, IDC_PARITY),
                  (std::vector<std::string>{"even", "Even", "none", "odd"}));
        EXPECT_EQ(substitute::ListEntries(dialog, IDC_PORT),
                  (std::vector<std::string>{"10.0.0.1", "9100", "com1", "COM2"}));
        EXPECT_EQ(substitute::ListEntries(dialog, IDC_PRINTER_TYPE),
                  (std::vector<std::string>{"Serial", "Parallel", "TCP/IP", "USB"}));
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PRINTER_TYPE, CB_GETCOUNT, 0, 0), 4);
    });
}

TEST_F(UserWindowsTest, FindExactIgnoresCaseStartsAfterTheIndexAndWraps) {
    WithDialog(IDD_SETTINGS, [](HWND dialog) {
        for (const char* entry : {"1", "2", "3", "two", "TWO", "three"}) {
            Add(dialog, IDC_ATTEMPTS, entry);
        }
        struct Case {
            WPARAM start;
            const char* text;
            LRESULT expected;
        };
        const Case cases[] = {
            {static_cast<WPARAM>(-1), "two", 3},
            {static_cast<WPARAM>(-1), "Two", 3},
            {3, "two", 4}, // search begins after the start index
            {4, "two", 3}, // and wraps round
            {5, "1", 0},
            {static_cast<WPARAM>(-1), "tw", CB_ERR}, // whole entries only
            {static_cast<WPARAM>(-1), "", CB_ERR},
            {static_cast<WPARAM>(-1), "three ", CB_ERR},
            {99, "three", 5}, // a start past the end searches everything
        };
        for (const Case& c : cases) {
            EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_ATTEMPTS, CB_FINDSTRINGEXACT, c.start,
                                          reinterpret_cast<LPARAM>(c.text)),
                      c.expected)
                << "'" << c.text << "' after " << static_cast<long long>(c.start);
        }
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_ATTEMPTS, CB_FINDSTRINGEXACT,
                                      static_cast<WPARAM>(-1), 0),
                  CB_ERR);
    });
}

TEST_F(UserWindowsTest, SelectionTextAndResetOfListsAndTheEditableCombo) {
    WithDialog(IDD_SETTINGS, [](HWND dialog) {
        for (const char* entry : {"COM1", "COM2"}) {
            Add(dialog, IDC_PORT, entry);
        }
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_GETCURSEL, 0, 0), CB_ERR);
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_SETCURSEL, 1, 0), 1);
        EXPECT_EQ(substitute::ControlText(dialog, IDC_PORT), "COM2");
        // An entry added before the selection moves it along.
        Add(dialog, IDC_PORT, "9100");
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_GETCURSEL, 0, 0), 2);
        char text[8];
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_GETLBTEXTLEN, 2, 0), 4);
        EXPECT_EQ(
            SendDlgItemMessageA(dialog, IDC_PORT, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(text)),
            4);
        EXPECT_STREQ(text, "COM2");
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_GETLBTEXTLEN, 3, 0), CB_ERR);
        EXPECT_EQ(
            SendDlgItemMessageA(dialog, IDC_PORT, CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(text)),
            CB_ERR);
        // Text set on the editable combo is the port while no entry is selected.
        EXPECT_TRUE(SetDlgItemTextA(dialog, IDC_PORT, "LPT7"));
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_GETCURSEL, 0, 0), CB_ERR);
        EXPECT_EQ(GetDlgItemTextA(dialog, IDC_PORT, text, sizeof(text)), 4u);
        EXPECT_STREQ(text, "LPT7");
        // An index out of range removes the selection and the field's text.
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_SETCURSEL, 0, 0), 0);
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_SETCURSEL, 7, 0), CB_ERR);
        EXPECT_EQ(substitute::ControlText(dialog, IDC_PORT), "");
        SendDlgItemMessageA(dialog, IDC_PORT, CB_SETCURSEL, 1, 0);
        SendDlgItemMessageA(dialog, IDC_PORT, CB_RESETCONTENT, 0, 0);
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_GETCOUNT, 0, 0), 0);
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_GETCURSEL, 0, 0), CB_ERR);
        EXPECT_EQ(substitute::ControlText(dialog, IDC_PORT), "");
        // A drop-down list has no text of its own: it shows its selection.
        Add(dialog, IDC_PARITY, "none");
        EXPECT_FALSE(SetDlgItemTextA(dialog, IDC_PARITY, "odd"));
        EXPECT_EQ(GetDlgItemTextA(dialog, IDC_PARITY, text, sizeof(text)), 0u);
        SendDlgItemMessageA(dialog, IDC_PARITY, CB_SETCURSEL, 0, 0);
        EXPECT_EQ(GetDlgItemTextA(dialog, IDC_PARITY, text, sizeof(text)), 4u);
        EXPECT_STREQ(text, "none");
        // A typing limit stops the user, never the program; the field scrolls
        // (CBS_AUTOHSCROLL), so its width does not stop typing.
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT, CB_LIMITTEXT, 5, 0), TRUE);
        EXPECT_TRUE(substitute::TypeText(dialog, IDC_PORT, "ABCDEFGH"));
        EXPECT_EQ(substitute::ControlText(dialog, IDC_PORT), "ABCDE");
        EXPECT_TRUE(SetDlgItemTextA(dialog, IDC_PORT, "ABCDEFGH"));
        EXPECT_EQ(substitute::ControlText(dialog, IDC_PORT), "ABCDEFGH");
        SendDlgItemMessageA(dialog, IDC_PORT, CB_LIMITTEXT, 0, 0);
        const std::string wide(40, 'W');
        EXPECT_TRUE(substitute::TypeText(dialog, IDC_PORT, wide));
        EXPECT_EQ(substitute::ControlText(dialog, IDC_PORT), wide);
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PARITY, CB_LIMITTEXT, 5, 0), TRUE);
        // A missing control takes nothing and answers 0.
        EXPECT_EQ(SendDlgItemMessageA(dialog, 4242, CB_GETCOUNT, 0, 0), 0);
    });
}

std::vector<WPARAM>* g_notifications = nullptr;

INT_PTR CALLBACK NotificationDialog(HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND) {
        g_notifications->push_back(wParam);
        return TRUE;
    }
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

TEST_F(UserWindowsTest, OnlyTheUserChoosingOrTypingNotifiesTheDialog) {
    std::vector<WPARAM> notifications;
    g_notifications = &notifications;
    substitute::OnDialogOpened([](HWND dialog, int) {
        for (const char* entry : {"Serial", "Parallel", "TCP/IP", "USB"}) {
            Add(dialog, IDC_PRINTER_TYPE, entry);
        }
        SendDlgItemMessageA(dialog, IDC_PRINTER_TYPE, CB_SETCURSEL, 0, 0);
        EXPECT_TRUE(g_notifications->empty());
        EXPECT_TRUE(substitute::ChooseListEntry(dialog, IDC_PRINTER_TYPE, "tcp/ip"));
        EXPECT_EQ(substitute::SelectedText(dialog, IDC_PRINTER_TYPE), "TCP/IP");
        EXPECT_FALSE(substitute::ChooseListEntry(dialog, IDC_PRINTER_TYPE, "Bluetooth"));
        EXPECT_FALSE(substitute::TypeText(dialog, IDC_PRINTER_TYPE, "USB")); // not editable
        Add(dialog, IDC_PORT, "COM1");
        SendDlgItemMessageA(dialog, IDC_PORT, CB_SETCURSEL, 0, 0);
        EXPECT_TRUE(substitute::TypeText(dialog, IDC_PORT, "MYPORT"));
        EXPECT_EQ(substitute::SelectedIndex(dialog, IDC_PORT), -1);
        EXPECT_EQ(substitute::ControlText(dialog, IDC_PORT), "MYPORT");
        EXPECT_TRUE(substitute::TypeText(dialog, IDC_DELAY, "12a3 "));
        EXPECT_EQ(substitute::ControlText(dialog, IDC_DELAY), "123"); // digits only
        EnableWindow(GetDlgItem(dialog, IDC_DATA_BITS), FALSE);
        Add(dialog, IDC_DATA_BITS, "8");
        EXPECT_FALSE(substitute::ChooseListEntry(dialog, IDC_DATA_BITS, "8"));
        EXPECT_FALSE(substitute::IsControlEnabled(dialog, IDC_DATA_BITS));
        EndDialog(dialog, 0);
    });
    DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_SETTINGS), nullptr, NotificationDialog, 0);
    EXPECT_EQ(notifications, (std::vector<WPARAM>{MAKEWPARAM(IDC_PRINTER_TYPE, CBN_SELCHANGE),
                                                  MAKEWPARAM(IDC_PORT, CBN_EDITCHANGE),
                                                  MAKEWPARAM(IDC_DELAY, EN_CHANGE)}));
    g_notifications = nullptr;
}

TEST_F(UserWindowsTest, ReadOnlyFieldRefusesTypingButTakesTextFromTheProgram) {
    WithDialog(IDD_PROGRESS, [](HWND dialog) {
        EXPECT_FALSE(substitute::TypeText(dialog, IDC_STATUS_LINE, "typed"));
        EXPECT_TRUE(SetDlgItemTextA(dialog, IDC_STATUS_LINE, "Complete"));
        EXPECT_EQ(substitute::ControlText(dialog, IDC_STATUS_LINE), "Complete");
        EXPECT_EQ(substitute::WindowCaption(dialog), "Printing Labels");
        EXPECT_EQ(GetParent(GetDlgItem(dialog, IDC_STATUS_LINE)), dialog);
        EXPECT_EQ(GetDlgCtrlID(GetDlgItem(dialog, IDC_ABOUT_BUTTON)), IDC_ABOUT_BUTTON);
        EXPECT_EQ(GetDlgItem(dialog, IDC_PROGRESS_BAR), nullptr);
        EXPECT_TRUE(ShowWindow(GetDlgItem(dialog, IDC_ABOUT_BUTTON), SW_HIDE)); // was visible
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, IDC_ABOUT_BUTTON)));
        EXPECT_FALSE(substitute::PressButton(dialog, IDC_ABOUT_BUTTON));
    });
}

TEST_F(UserWindowsTest, TextIsCutToTheBufferAsWindowsCutsIt) {
    WithDialog(IDD_PROGRESS, [](HWND dialog) {
        SetWindowTextA(dialog, "Printing");
        struct Case {
            int size;
            int expectedLength;
            const char* expected;
        };
        const Case cases[] = {{9, 8, "Printing"}, {8, 7, "Printin"}, {2, 1, "P"}, {1, 0, ""}};
        for (const Case& c : cases) {
            char buffer[16];
            std::memset(buffer, 'x', sizeof(buffer));
            EXPECT_EQ(GetWindowTextA(dialog, buffer, c.size), c.expectedLength);
            EXPECT_STREQ(buffer, c.expected);
        }
        char untouched[2] = {'x', 'x'};
        EXPECT_EQ(GetWindowTextA(dialog, untouched, 0), 0);
        EXPECT_EQ(untouched[0], 'x');
        EXPECT_EQ(GetWindowTextLengthA(dialog), 8);
    });
}

TEST_F(UserWindowsTest, GetDlgItemIntConvertsAsTheDialogManager) {
    struct Case {
        const char* text;
        BOOL isSigned;
        BOOL translated;
        UINT value;
    };
    const Case cases[] = {
        {"1000", FALSE, TRUE, 1000},
        {"0", FALSE, TRUE, 0},
        {"007", FALSE, TRUE, 7},
        {"  42", FALSE, TRUE, 42},
        {"42abc", FALSE, TRUE, 42},
        {"4294967295", FALSE, TRUE, 4294967295u},
        {"4294967296", FALSE, FALSE, 0},
        {"99999999999999999999", FALSE, FALSE, 0},
        {"", FALSE, FALSE, 0},
        {"   ", FALSE, FALSE, 0},
        {"abc", FALSE, FALSE, 0},
        {"-5", FALSE, FALSE, 0},
        {"+5", FALSE, FALSE, 0},
        {"-5", TRUE, TRUE, static_cast<UINT>(-5)},
        {"2147483647", TRUE, TRUE, 2147483647u},
        {"2147483648", TRUE, FALSE, 0},
        {"-2147483648", TRUE, TRUE, 0x80000000u},
        {"-", TRUE, FALSE, 0},
    };
    WithDialog(IDD_SETTINGS, [&cases](HWND dialog) {
        for (const Case& c : cases) {
            SetDlgItemTextA(dialog, IDC_DELAY, c.text);
            BOOL translated = 12345;
            UINT value = GetDlgItemInt(dialog, IDC_DELAY, &translated, c.isSigned);
            EXPECT_EQ(translated, c.translated) << "'" << c.text << "' signed " << c.isSigned;
            EXPECT_EQ(value, c.value) << "'" << c.text << "' signed " << c.isSigned;
        }
        BOOL translated = TRUE;
        EXPECT_EQ(GetDlgItemInt(dialog, 4242, &translated, FALSE), 0u);
        EXPECT_EQ(translated, FALSE);
        EXPECT_TRUE(SetDlgItemInt(dialog, IDC_DELAY, 4294967295u, FALSE));
        EXPECT_EQ(substitute::ControlText(dialog, IDC_DELAY), "4294967295");
        EXPECT_TRUE(SetDlgItemInt(dialog, IDC_DELAY, static_cast<UINT>(-12), TRUE));
        EXPECT_EQ(substitute::ControlText(dialog, IDC_DELAY), "-12");
    });
}

// ---- String table, system messages, message boxes ----

TEST_F(UserWindowsTest, LoadStringCopiesAtMostSizeMinusOneCharacters) {
    struct Case {
        UINT id;
        int size;
        int expectedLength;
        const char* expected;
    };
    const Case cases[] = {
        {IDS_STATUS_COMPLETE, 2048, 8, "Complete"},
        {IDS_STATUS_COMPLETE, 9, 8, "Complete"},
        {IDS_STATUS_COMPLETE, 8, 7, "Complet"},
        {IDS_STATUS_COMPLETE, 1, 0, ""},
        {0, 2048, 0, ""},
        {106, 2048, 0, ""},
    };
    for (const Case& c : cases) {
        char buffer[2048];
        std::memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(LoadStringA(nullptr, c.id, buffer, c.size), c.expectedLength) << c.id;
        EXPECT_STREQ(buffer, c.expected) << c.id;
    }
    EXPECT_EQ(LoadStringA(nullptr, IDS_STATUS_COMPLETE, nullptr, 10), 0);
    substitute::FailNext("LoadStringA", ERROR_NOT_ENOUGH_MEMORY);
    char buffer[16] = "stale";
    EXPECT_EQ(LoadStringA(nullptr, IDS_STATUS_COMPLETE, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");
}

TEST_F(UserWindowsTest, FormatMessageGivesTheSystemTextWithinTheBuffer) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    struct Case {
        DWORD code;
        const char* expected;
    };
    const Case cases[] = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_PRINTER_NAME, "The printer name is invalid.\r\n"},
        {10061, "No connection could be made because the target machine actively refused "
                "it.\r\n"},
        // Like Windows, no text at all for a code the table does not know, nor for one a
        // test has taken away.
        {0x2345678, nullptr},
        {WSAEHOSTUNREACH, nullptr},
    };
    substitute::RemoveSystemText(WSAEHOSTUNREACH);
    for (const Case& c : cases) {
        char buffer[2049];
        SetLastError(0xdeadbeef);
        DWORD length = FormatMessageA(flags, nullptr, c.code, 0, buffer, sizeof(buffer), nullptr);
        if (c.expected == nullptr) {
            EXPECT_EQ(length, 0u) << c.code;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << c.code;
            continue;
        }
        EXPECT_EQ(length, std::strlen(c.expected)) << c.code;
        EXPECT_STREQ(buffer, c.expected) << c.code;
    }
    // Reset gives the text back.
    substitute::Reset();
    char buffer[2049];
    EXPECT_GT(FormatMessageA(flags, nullptr, WSAEHOSTUNREACH, 0, buffer, sizeof(buffer), nullptr),
              0u);
}

TEST_F(UserWindowsTest, FormatMessageFailsRatherThanCuttingTheText) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const std::string text = "Access is denied.\r\n";
    char buffer[64];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, buffer,
                             static_cast<DWORD>(text.size() + 1), nullptr),
              text.size());
    EXPECT_EQ(buffer, text);
    std::memset(buffer, 'x', sizeof(buffer));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, buffer,
                             static_cast<DWORD>(text.size()), nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[text.size()], 'x'); // nothing written past the given size
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 0, nullptr), 0u);
    EXPECT_EQ(FormatMessageA(flags | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, ERROR_ACCESS_DENIED, 0,
                             buffer, sizeof(buffer), nullptr),
              18u);
    EXPECT_STREQ(buffer, "Access is denied. ");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "text", 0, 0, buffer, sizeof(buffer), nullptr),
        0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(UserWindowsTest, EveryCodeTheProgramMeetsHasItsOwnText) {
    const DWORD codes[] = {
        ERROR_FILE_NOT_FOUND,
        ERROR_PATH_NOT_FOUND,
        ERROR_ACCESS_DENIED,
        ERROR_INVALID_HANDLE,
        ERROR_NOT_ENOUGH_MEMORY,
        ERROR_OUTOFMEMORY,
        ERROR_GEN_FAILURE,
        ERROR_SHARING_VIOLATION,
        ERROR_INVALID_PARAMETER,
        ERROR_INSUFFICIENT_BUFFER,
        ERROR_INVALID_NAME,
        ERROR_MORE_DATA,
        ERROR_NO_MORE_ITEMS,
        ERROR_INVALID_WINDOW_HANDLE,
        ERROR_INVALID_PRINTER_NAME,
        ERROR_WRITE_FAULT,
        ERROR_READ_FAULT,
        ERROR_HANDLE_EOF,
        ERROR_NOT_SUPPORTED,
        ERROR_FILE_EXISTS,
        ERROR_BROKEN_PIPE,
        ERROR_DISK_FULL,
        ERROR_BAD_PATHNAME,
        ERROR_ALREADY_EXISTS,
        ERROR_IO_DEVICE,
        ERROR_RESOURCE_NAME_NOT_FOUND,
        ERROR_CANCELLED,
        ERROR_SEM_TIMEOUT,
        WSAEINTR,
        WSAEBADF,
        WSAEACCES,
        WSAEFAULT,
        WSAEINVAL,
        WSAEMFILE,
        WSAEWOULDBLOCK,
        WSAEINPROGRESS,
        WSAEALREADY,
        WSAENOTSOCK,
        WSAEDESTADDRREQ,
        WSAEMSGSIZE,
        WSAEPROTOTYPE,
        WSAEPROTONOSUPPORT,
        WSAESOCKTNOSUPPORT,
        WSAEOPNOTSUPP,
        WSAEAFNOSUPPORT,
        WSAEADDRINUSE,
        WSAEADDRNOTAVAIL,
        WSAENETDOWN,
        WSAENETUNREACH,
        WSAENETRESET,
        WSAECONNABORTED,
        WSAECONNRESET,
        WSAENOBUFS,
        WSAEISCONN,
        WSAENOTCONN,
        WSAESHUTDOWN,
        WSAETIMEDOUT,
        WSAECONNREFUSED,
        WSAEHOSTUNREACH,
        WSASYSNOTREADY,
        WSAVERNOTSUPPORTED,
        WSANOTINITIALISED,
    };
    for (DWORD code : codes) {
        char buffer[2049];
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, buffer, sizeof(buffer), nullptr);
        ASSERT_GT(length, 2u) << code;
        std::string text(buffer, length);
        EXPECT_EQ(text.find("Unknown error"), std::string::npos) << code;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
        EXPECT_EQ(text.find("\r\n"), text.size() - 2) << code; // one line
    }
}

TEST_F(UserWindowsTest, IdleHookRunsInsideTheLoopOfTheInnermostDialog) {
    std::vector<int> idleTemplates;
    substitute::OnDialogIdle([&idleTemplates](HWND dialog, int templateId) {
        idleTemplates.push_back(templateId);
        EXPECT_EQ(substitute::DialogTemplateId(dialog), templateId);
        EXPECT_TRUE(substitute::PressEnter(dialog));
    });
    INT_PTR result =
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_INFO), nullptr, EndOnAnyCommand, 0);
    EXPECT_EQ(result, static_cast<INT_PTR>(MAKEWPARAM(IDOK, BN_CLICKED)));
    EXPECT_EQ(idleTemplates, std::vector<int>{IDD_INFO});
}

// ---- A modeless dialog and the thread's own message loop ----

constexpr UINT WM_TEST_POSTED = WM_APP + 22;

int g_postedHandled = 0;

INT_PTR CALLBACK HiddenPingDialog(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        g_ping->dialog = dialog;
        HANDLE thread = CreateThread(nullptr, 1024, PingWorker, nullptr, 0, nullptr);
        CloseHandle(thread);
        return FALSE;
    }
    case WM_TEST_PING:
        g_ping->handledOn.push_back(std::this_thread::get_id());
        ++g_ping->handled;
        return TRUE;
    case WM_TEST_POSTED:
        ++g_postedHandled;
        return TRUE;
    case WM_TEST_END:
        PostQuitMessage(static_cast<int>(lParam));
        return TRUE;
    default:
        return FALSE;
    }
}

// Sent messages are handled inside GetMessageA on the dialog's thread; posted ones are
// returned for DispatchMessageA; WM_QUIT ends the loop with its code. A template without
// WS_VISIBLE gives a window that is never shown until ShowWindow.
TEST_F(UserWindowsTest, ModelessDialogRunsInTheThreadsOwnMessageLoop) {
    PingRecord record;
    record.dialogThread = std::this_thread::get_id();
    g_ping = &record;
    g_postedHandled = 0;
    HWND window =
        CreateDialogParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, HiddenPingDialog, 0);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(substitute::OpenDialogs(), std::vector<int>{IDD_PROGRESS});
    EXPECT_TRUE(PostMessageA(window, WM_TEST_POSTED, 0, 0));
    MSG message = {};
    std::vector<UINT> returned;
    BOOL got = 0;
    for (int i = 0; i < 10 && (got = GetMessageA(&message, nullptr, 0, 0)) > 0; ++i) {
        returned.push_back(message.message);
        DispatchMessageA(&message);
    }
    ASSERT_TRUE(substitute::JoinThreads());
    EXPECT_EQ(got, FALSE);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 42u);
    EXPECT_EQ(returned, std::vector<UINT>{WM_TEST_POSTED});
    EXPECT_EQ(g_postedHandled, 1);
    ASSERT_EQ(record.handledOn.size(), 3u);
    for (std::thread::id handledOn : record.handledOn) {
        EXPECT_EQ(handledOn, record.dialogThread);
    }
    EXPECT_TRUE(substitute::ShownDialogs().empty());
    ShowWindow(window, SW_SHOW);
    EXPECT_EQ(substitute::ShownDialogs(), std::vector<int>{IDD_PROGRESS});
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_TRUE(substitute::OpenDialogs().empty());
    g_ping = nullptr;
}

// A loop that nothing ever wakes reports the stall and fails instead of hanging the test.
TEST_F(UserWindowsTest, MessageLoopThatNothingWakesReportsAStall) {
    std::vector<std::string> reports;
    substitute::SetFailureReporter(
        [&reports](const std::string& what) { reports.push_back(what); });
    substitute::SetDialogStallTimeout(50);
    MSG message = {};
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("message loop stalled"), std::string::npos) << reports[0];
    // A quit left over from an earlier test never reaches the next one.
    PostQuitMessage(3);
    substitute::Reset();
    substitute::SetDialogStallTimeout(50);
    substitute::SetFailureReporter(
        [&reports](const std::string& what) { reports.push_back(what); });
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), -1);
    substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
    EXPECT_EQ(reports.size(), 2u);
}

DWORD WINAPI ShowBoxFromWorker(LPVOID) {
    MessageBoxA(nullptr, "from the worker", "PrintDlg failed!", MB_OK);
    return 0;
}

TEST_F(UserWindowsTest, MessageBoxesAreCapturedWithTheirThread) {
    std::vector<std::string> shown;
    substitute::OnMessageBox(
        [&shown](const substitute::MessageBoxRecord& box) { shown.push_back(box.text); });
    EXPECT_EQ(MessageBoxA(nullptr, "first", "Error Message", MB_OK), IDOK);
    HANDLE thread = CreateThread(nullptr, 0, ShowBoxFromWorker, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    auto boxes = substitute::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Error Message");
    EXPECT_EQ(boxes[0].text, "first");
    EXPECT_EQ(boxes[0].type, MB_OK);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_TRUE(boxes[0].onFirstThread);
    EXPECT_EQ(boxes[1].caption, "PrintDlg failed!");
    EXPECT_FALSE(boxes[1].onFirstThread);
    EXPECT_EQ(shown, (std::vector<std::string>{"first", "from the worker"}));
    substitute::Reset();
    EXPECT_TRUE(substitute::MessageBoxes().empty());
}

// MessageBoxW records its texts in UTF-8 and names itself in the call log; a box without a
// caption is captioned "Error", as MessageBoxA's.
TEST_F(UserWindowsTest, WideMessageBoxesAreRecordedInUtf8) {
    EXPECT_EQ(
        MessageBoxW(nullptr, L"File input error on C:\\\u6807\u7b7e.zpl", L"Error Message", MB_OK),
        IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"caf\u00e9", nullptr, MB_OK), IDOK);
    substitute::FailNext("MessageBoxW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(MessageBoxW(nullptr, L"lost", L"Error Message", MB_OK), 0);
    auto boxes = substitute::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "File input error on C:\\标签.zpl");
    EXPECT_EQ(boxes[0].caption, "Error Message");
    EXPECT_EQ(boxes[1].text, "café");
    EXPECT_EQ(boxes[1].caption, "Error");
    std::vector<std::string> calls;
    for (const std::string& line : substitute::CallLog()) {
        if (line.rfind("MessageBox", 0) == 0) {
            calls.push_back(line);
        }
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"MessageBoxW Error Message", "MessageBoxW Error",
                                               "MessageBoxW failed"}));
}

} // namespace
