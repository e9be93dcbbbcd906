// The shell: a notification icon's life as the shell rules it, menus that return the scripted
// choice only when it is offered, registered messages, and icons as handles.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

NOTIFYICONDATAA Data(UINT flags, const char* tip = "") {
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    data.hWnd = reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x77));
    data.uID = 3;
    data.uFlags = flags;
    std::strncpy(data.szTip, tip, sizeof data.szTip - 1);
    return data;
}

TEST(ShellTest, NotifyIconFollowsTheShellsRules) {
    substitute::Reset();
    NOTIFYICONDATAA data = Data(NIF_TIP | NIF_MESSAGE, "first");
    data.uCallbackMessage = 0x8020;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &data)) << "changed before it was added";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &data));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &data)) << "added twice";
    // Without its flag a field is left as it was; a full tip without a NUL stays in bounds.
    data = Data(NIF_INFO);
    std::memset(data.szTip, 'x', sizeof data.szTip);
    std::strcpy(data.szInfo, "text");
    std::strcpy(data.szInfoTitle, "title");
    data.dwInfoFlags = NIIF_WARNING;
    ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &data));
    data.uFlags = NIF_TIP;
    ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &data));
    auto icons = substitute::NotifyIcons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].tip, std::string(128, 'x'));
    EXPECT_EQ(icons[0].callbackMessage, 0x8020u);
    EXPECT_EQ(icons[0].balloonTitle, "title");
    EXPECT_EQ(icons[0].balloonText, "text");
    EXPECT_EQ(icons[0].balloonFlags, NIIF_WARNING);
    EXPECT_EQ(icons[0].balloons, 1);
    substitute::RestartTaskbar();
    EXPECT_TRUE(substitute::NotifyIcons().empty());
    EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &data)) << "deleted after Explorer lost it";
    data.cbSize = 88;
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &data)) << "a record of another size";
}

TEST(ShellTest, MenuReturnsTheChoiceOnlyWhenOffered) {
    substitute::Reset();
    struct Case {
        UINT_PTR chosen;
        UINT_PTR expected;
    };
    // 0: dismissed; 7: grayed; 9: not in the menu.
    for (const Case& c : {Case{5, 5}, Case{0, 0}, Case{7, 0}, Case{9, 0}}) {
        HMENU menu = CreatePopupMenu();
        ASSERT_NE(menu, nullptr);
        ASSERT_TRUE(AppendMenuA(menu, MF_STRING, 5, "Five"));
        ASSERT_TRUE(AppendMenuA(menu, MF_SEPARATOR, 0, nullptr));
        ASSERT_TRUE(AppendMenuA(menu, MF_STRING | MF_GRAYED, 7, "Seven"));
        substitute::ChooseMenuCommand(c.chosen);
        EXPECT_EQ(
            static_cast<UINT_PTR>(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, nullptr, nullptr)),
            c.expected)
            << "chosen " << c.chosen;
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{"menu:popup"});
        EXPECT_TRUE(DestroyMenu(menu));
        EXPECT_FALSE(DestroyMenu(menu));
    }
    auto shown = substitute::ShownMenus();
    ASSERT_EQ(shown.size(), 4u);
    ASSERT_EQ(shown[0].size(), 3u);
    EXPECT_EQ(shown[0][0].text, "Five");
    EXPECT_EQ(shown[0][1].flags, MF_SEPARATOR);
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST(ShellTest, RegisteredMessagesIconsAndShellExecute) {
    substitute::Reset();
    UINT created = RegisterWindowMessageA("TaskbarCreated");
    EXPECT_GE(created, 0xC000u);
    EXPECT_EQ(RegisterWindowMessageA("taskbarcreated"), created);
    EXPECT_NE(RegisterWindowMessageA("Other"), created);

    auto icon = static_cast<HICON>(LoadImageA(nullptr, MAKEINTRESOURCEA(107), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON), 16, 0));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{"icon:107"});
    EXPECT_TRUE(DestroyIcon(icon));
    EXPECT_TRUE(substitute::OpenHandles().empty());
    substitute::FailNext("LoadImageA", ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(LoadImageA(nullptr, MAKEINTRESOURCEA(107), IMAGE_ICON, 16, 16, 0), nullptr);

    EXPECT_GT(reinterpret_cast<UINT_PTR>(
                  ShellExecuteW(nullptr, L"open", L"C:\\Labels\\\u6f22", nullptr, nullptr, 1)),
              32u);
    substitute::FailNext("ShellExecuteW", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(
                  ShellExecuteW(nullptr, L"open", L"C:\\gone", nullptr, nullptr, 1)),
              static_cast<UINT_PTR>(ERROR_FILE_NOT_FOUND));
    auto opened = substitute::ShellExecutes();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].verb, "open");
    EXPECT_EQ(opened[0].file, "C:\\Labels\\\xe6\xbc\xa2");
}

} // namespace
