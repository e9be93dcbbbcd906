// The watcher's notification icon: its tooltip for each state (a long folder cut within the
// tip, keeping its end), its menu's commands, its balloons, its return after Explorer
// restarts, and what its start and end leave behind.
#include "watch/notification_icon.h"

#include "platform/testing.h"
#include "resources/resource_ids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr char kFolder[] = "C:\\Labels\\In";

class NotificationIconTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stopEvent, nullptr);
    }
    void TearDown() override {
        EndNotificationIcon(&presence);
        CloseHandle(stopEvent);
        EXPECT_TRUE(substitute::OpenHandles().empty())
            << ::testing::PrintToString(substitute::OpenHandles());
    }
    bool Start(const char* folder = kFolder) {
        return StartNotificationIcon(nullptr, folder, stopEvent, &presence);
    }
    substitute::NotifyIconRecord Icon() {
        auto icons = substitute::NotifyIcons();
        EXPECT_EQ(icons.size(), 1u);
        return icons.empty() ? substitute::NotifyIconRecord{} : icons[0];
    }
    void Status(const char* folder, WatchState state, int waiting) {
        WatchStatus status{folder, state, waiting, "connection refused"};
        presence.statusChanged(presence.context, &status);
    }
    void Click(UINT mouse) {
        substitute::NotifyIconRecord icon = Icon();
        SendMessageA(icon.window, icon.callbackMessage, icon.id, static_cast<LPARAM>(mouse));
    }
    bool Stopped() { return WaitForMultipleObjects(1, &stopEvent, FALSE, 0) == WAIT_OBJECT_0; }

    HANDLE stopEvent = nullptr;
    WatchPresence presence{};
};

TEST_F(NotificationIconTest, TipSaysTheStateAndTheCountWaiting) {
    ASSERT_TRUE(Start());
    EXPECT_EQ(Icon().tip, "Tagwright: watching C:\\Labels\\In");
    struct Case {
        WatchState state;
        int waiting;
        const char* tip;
    };
    const Case cases[] = {
        {WatchState::Watching, 0, "Tagwright: watching C:\\Labels\\In"},
        {WatchState::Watching, 3, "Tagwright: watching C:\\Labels\\In\n3 waiting"},
        {WatchState::Retrying, 1,
         "Tagwright: watching C:\\Labels\\In\nprinter not reachable, retrying\n1 waiting"},
        {WatchState::WaitingForPrinter, 0,
         "Tagwright: watching C:\\Labels\\In\nprinter holds a label, waiting until it is ready"},
    };
    for (const Case& c : cases) {
        Status(kFolder, c.state, c.waiting);
        EXPECT_EQ(Icon().tip, c.tip);
    }
}

TEST_F(NotificationIconTest, LongFolderIsCutWithinTheTipKeepingItsEnd) {
    ASSERT_TRUE(Start());
    const std::string components = "C:\\" + std::string(150, 'a') + "\\Shipping\\Outbound";
    const std::string oneName = "C:\\" + std::string(300, 'b') + "z";
    // ISO 8859-1 is the substitute's ANSI code page: an accented name survives in the tip.
    const std::string accented = "C:\\" + std::string(140, 'c') + "\\\xc3\x89tiquettes";
    // A folder keeps its last components whole where they fit, else as many of its last
    // characters as fit.
    struct Case {
        std::string folder;
        WatchState state;
        std::string start;
        std::string end;
        std::size_t ansiBytes;
    };
    const Case cases[] = {
        {components, WatchState::Watching, "Tagwright: watching ...\\Shipping\\Outbound",
         "Outbound\n12 waiting", 52},
        {oneName, WatchState::Retrying, "Tagwright: watching ...bbb",
         "bz\nprinter not reachable, retrying\n12 waiting", 127},
        {accented, WatchState::Watching, "Tagwright: watching ...\\\xc3\x89tiquettes",
         "\xc3\x89tiquettes\n12 waiting", 45},
    };
    for (const Case& c : cases) {
        Status(c.folder.c_str(), c.state, 12);
        std::string tip = Icon().tip;
        EXPECT_EQ(tip.rfind(c.start, 0), 0u) << tip;
        ASSERT_GE(tip.size(), c.end.size());
        EXPECT_EQ(tip.substr(tip.size() - c.end.size()), c.end) << tip;
        // The substitute records the tip in UTF-8: its ANSI form held one byte a character.
        std::size_t ansiBytes = 0;
        for (char ch : tip) {
            ansiBytes += (static_cast<unsigned char>(ch) & 0xC0) != 0x80 ? 1 : 0;
        }
        EXPECT_EQ(ansiBytes, c.ansiBytes) << tip;
    }
}

TEST_F(NotificationIconTest, MenuCommandsOpenTheFoldersAndStop) {
    ASSERT_TRUE(Start());
    struct Case {
        UINT mouse;
        UINT_PTR command;
        const char* opened; // "" when nothing is opened
        bool stops;
    };
    const Case cases[] = {
        {WM_RBUTTONUP, IDM_WATCH_OPEN_FOLDER, kFolder, false},
        {WM_CONTEXTMENU, IDM_WATCH_OPEN_FAILED, "C:\\Labels\\In\\failed", false},
        {WM_RBUTTONUP, 0, "", false},
        {WM_LBUTTONDBLCLK, 0, kFolder, false},
        {WM_RBUTTONUP, IDM_WATCH_STOP, "", true},
    };
    for (const Case& c : cases) {
        substitute::ChooseMenuCommand(c.command);
        std::size_t before = substitute::ShellExecutes().size();
        Click(c.mouse);
        auto opened = substitute::ShellExecutes();
        if (c.opened[0] == '\0') {
            EXPECT_EQ(opened.size(), before) << c.command;
        } else {
            ASSERT_EQ(opened.size(), before + 1) << c.command;
            EXPECT_EQ(opened.back().verb, "open");
            EXPECT_EQ(opened.back().file, c.opened);
        }
        EXPECT_EQ(Stopped(), c.stops) << c.command;
        EXPECT_EQ(substitute::OpenHandles().size(), 2u) << "the menu is released";
    }
    auto menus = substitute::ShownMenus();
    ASSERT_EQ(menus.size(), 4u) << "a double click opens the folder, not the menu";
    std::vector<std::string> texts;
    for (const auto& item : menus[0]) {
        texts.push_back(item.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Open folder", "Open failed folder", "", "Stop"}));
}

TEST_F(NotificationIconTest, EndOfTheSessionStopsTheWatcher) {
    ASSERT_TRUE(Start());
    HWND window = Icon().window;
    SendMessageA(window, WM_ENDSESSION, FALSE, 0);
    EXPECT_FALSE(Stopped()) << "the session goes on";
    SendMessageA(window, WM_ENDSESSION, TRUE, 0);
    EXPECT_TRUE(Stopped());
}

TEST_F(NotificationIconTest, BalloonsForAFailedFileAndAnUnreachablePrinter) {
    ASSERT_TRUE(Start());
    presence.fileFailed(presence.context, "order-17.zpl", "the port setting is not valid");
    substitute::NotifyIconRecord icon = Icon();
    EXPECT_EQ(icon.balloonTitle, "Tagwright: a label file failed");
    EXPECT_EQ(icon.balloonText,
              "order-17.zpl was moved to the failed folder: the port setting is not valid");
    EXPECT_EQ(icon.balloonFlags, NIIF_ERROR);
    const std::string longReason(400, 'r');
    presence.printerUnreachable(presence.context, longReason.c_str());
    icon = Icon();
    EXPECT_EQ(icon.balloonTitle, "Tagwright: printer not reachable, retrying");
    EXPECT_EQ(icon.balloonText, std::string(255, 'r')) << "cut within its 256 bytes";
    EXPECT_EQ(icon.balloonFlags, NIIF_WARNING);
    EXPECT_EQ(icon.balloons, 2);
}

TEST_F(NotificationIconTest, IconReturnsWhenExplorerStartsAgain) {
    // No notification area yet (a watcher started at logon before Explorer): it runs on.
    substitute::FailNext("Shell_NotifyIconA", ERROR_INVALID_WINDOW_HANDLE);
    ASSERT_TRUE(Start());
    EXPECT_TRUE(substitute::NotifyIcons().empty());
    HWND window = substitute::FindOpenDialog(IDD_WATCH_PRESENCE);
    ASSERT_NE(window, nullptr);
    UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    SendMessageA(window, taskbarCreated, 0, 0);
    EXPECT_EQ(Icon().tip, "Tagwright: watching C:\\Labels\\In");
    Status(kFolder, WatchState::Watching, 2);
    substitute::RestartTaskbar();
    SendMessageA(window, taskbarCreated, 0, 0);
    EXPECT_EQ(Icon().tip, "Tagwright: watching C:\\Labels\\In\n2 waiting") << "its last tip";
    EXPECT_EQ(Icon().window, window);
}

TEST_F(NotificationIconTest, StartThatFailsAndEndLeaveNothingBehind) {
    for (const char* call : {"CreateDialogParamA", "LoadImageA"}) {
        substitute::FailNext(call, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_FALSE(Start()) << call;
        EXPECT_TRUE(substitute::OpenDialogs().empty()) << call;
        EXPECT_EQ(substitute::OpenHandles().size(), 1u) << call << ": only the stop event";
    }
    EXPECT_FALSE(Start(std::string(3000, 'x').c_str())) << "a folder longer than a path";
    ASSERT_TRUE(Start());
    EXPECT_FALSE(Start()) << "one icon per process";
    HWND window = Icon().window;
    EndNotificationIcon(&presence);
    EXPECT_TRUE(substitute::NotifyIcons().empty());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(substitute::OpenHandles().size(), 1u);
    EndNotificationIcon(&presence); // a second end changes nothing
    ASSERT_TRUE(Start()) << "a new start after the end";
}

} // namespace
