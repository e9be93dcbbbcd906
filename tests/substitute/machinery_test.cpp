// The substitute kernel core: scripted failures, virtual clock, threads, recording windows.
#include "platform/testing.h"

#include <gtest/gtest.h>

namespace {

class MachineryTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
};

TEST_F(MachineryTest, ScriptedFailureSkipsThenFailsThenClears) {
    substitute::FailNext("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    void* first = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 16);
    ASSERT_NE(first, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    void* third = HeapAlloc(GetProcessHeap(), 0, 16);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(substitute::OpenHandles().size(), 2u);
    HeapFree(GetProcessHeap(), 0, first);
    HeapFree(GetProcessHeap(), 0, third);
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(MachineryTest, VirtualClockRecordsWithoutWaiting) {
    substitute::UseVirtualClock(true);
    Sleep(2000);
    Sleep(0);
    EXPECT_EQ(substitute::Sleeps(), (std::vector<DWORD>{2000, 0}));
}

DWORD WINAPI SendThree(LPVOID window) {
    for (WPARAM i = 1; i <= 3; ++i) {
        SendMessageA(static_cast<HWND>(window), WM_APP, i, 0);
    }
    return 7;
}

DWORD WINAPI ReturnEleven(LPVOID) {
    return 11;
}

TEST_F(MachineryTest, ThreadSendsToRecordingWindowAndCanBeWaitedFor) {
    HWND window = substitute::CreateRecordingWindow();
    HANDLE thread = CreateThread(nullptr, 1024, SendThree, window, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    auto messages = substitute::RecordedMessages(window);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].wParam, 3u);
    EXPECT_TRUE(substitute::JoinThreads());
}

TEST_F(MachineryTest, SubstitutedRoutineRunsInsteadOfTheGivenOne) {
    substitute::SubstituteThreadRoutine(ReturnEleven);
    HWND window = substitute::CreateRecordingWindow();
    HANDLE thread = CreateThread(nullptr, 0, SendThree, window, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_TRUE(substitute::RecordedMessages(window).empty());
}

TEST_F(MachineryTest, ClosingAnUnknownHandleFailsWithInvalidHandle) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(MachineryTest, CommandLineIsTheProgramsNameUntilATestSetsIt) {
    EXPECT_EQ(std::wstring(GetCommandLineW()), L"tagwright.exe");
    substitute::SetCommandLineW(L"\"C:\\Program Files\\tagwright.exe\" \u6807\u7b7e.zpl");
    EXPECT_EQ(std::wstring(GetCommandLineW()), L"\"C:\\Program Files\\tagwright.exe\" 标签.zpl");
    substitute::Reset();
    EXPECT_EQ(std::wstring(GetCommandLineW()), L"tagwright.exe");
}

} // namespace
