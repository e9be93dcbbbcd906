// Events shared between processes, waits on several objects under the virtual clock, and the
// folder calls: listings, change notifications and full path names.
#include "platform/testing.h"
#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Utf8(const WCHAR* wide) {
    char text[4096];
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr) > 0
               ? std::string(text)
               : std::string();
}

TEST(EventsTest, NamedEventIsSeenByAnotherProcessOnlyWhileItIsOpen) {
    substitute::Reset();
    std::string name = "tagwright-event-test-" + std::to_string(::getpid());
    EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    pid_t child = ::fork();
    if (child == 0) {
        HANDLE opened = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
        ::_exit(opened != nullptr && SetEvent(opened) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0)); // manual reset
    HANDLE again = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(again);
    CloseHandle(event);
    EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str()), nullptr);
}

TEST(EventsTest, WaitsOnSeveralObjectsAndOnMessages) {
    substitute::Reset();
    substitute::UseVirtualClock(true);
    HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE second = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[] = {first, second};
    DWORD before = GetTickCount();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 3000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(GetTickCount() - before, 3000u); // the whole time-out, on the virtual clock
    SetEvent(second);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 3000), WAIT_OBJECT_0 + 1);
    // An auto-reset event gave its signal to the wait that took it.
    EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 0, QS_ALLINPUT),
              static_cast<DWORD>(WAIT_TIMEOUT));
    PostQuitMessage(7);
    EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 3000, QS_ALLINPUT), WAIT_OBJECT_0 + 2);
    MSG message{};
    ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    CloseHandle(first);
    CloseHandle(second);
    EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
}

TEST(FoldersTest, ListingsNotificationsAndFullPaths) {
    substitute::Reset();
    substitute::UseVirtualClock(true);
    scratch::ScratchFolder scratch;
    scratch::WriteBytes(scratch / "a.zpl", "12345");
    ::mkdir((scratch / "sub").c_str(), 0755);
    const std::string path = scratch.path.string();
    std::wstring folder(path.begin(), path.end());
    std::wstring pattern = folder + L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern.c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::string> seen;
    do {
        bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        seen.push_back(Utf8(found.cFileName) + (isFolder ? "/" : ":") +
                       std::to_string(found.nFileSizeLow));
    } while (FindNextFileW(find, &found));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    FindClose(find);
    std::sort(seen.begin() + 2, seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"./0", "../0", "a.zpl:5", "sub/0"}));
    std::wstring none = folder + L"\\missing\\*";
    EXPECT_EQ(FindFirstFileW(none.c_str(), &found), INVALID_HANDLE_VALUE);

    HANDLE change =
        FindFirstChangeNotificationW(folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_NE(change, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(change, 2000), static_cast<DWORD>(WAIT_TIMEOUT));
    scratch::WriteBytes(scratch / "b.zpl", "1");
    EXPECT_EQ(WaitForSingleObject(change, 2000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(FindNextChangeNotification(change));
    EXPECT_EQ(WaitForSingleObject(change, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(FindCloseChangeNotification(change));

    WCHAR full[MAX_PATH];
    EXPECT_GT(GetFullPathNameW(L"sub\\.\\x\\..\\y", MAX_PATH, full, nullptr), 0u);
    EXPECT_EQ(Utf8(full), scratch.path.string() + "/sub/y");
    EXPECT_EQ(GetFullPathNameW(L"sub", 2, full, nullptr),
              static_cast<DWORD>(scratch.path.string().size() + 5)); // the size it needs
    EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
}

} // namespace
