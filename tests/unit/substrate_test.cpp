// The substitute kernel core: scripted failures, virtual clock, threads, recording windows.
#include "platform/testing.h"

#include <gtest/gtest.h>

namespace {

class SubstrateTest : public ::testing::Test {
  protected:
    void SetUp() override { wintest::Reset(); }
};

TEST_F(SubstrateTest, ScriptedFailureSkipsThenFailsThenClears) {
    wintest::FailNext("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    void* first = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 16);
    ASSERT_NE(first, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    void* third = HeapAlloc(GetProcessHeap(), 0, 16);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(wintest::OpenHandles().size(), 2u);
    HeapFree(GetProcessHeap(), 0, first);
    HeapFree(GetProcessHeap(), 0, third);
    EXPECT_TRUE(wintest::OpenHandles().empty());
}

TEST_F(SubstrateTest, VirtualClockRecordsWithoutWaiting) {
    wintest::UseVirtualClock(true);
    Sleep(2000);
    Sleep(0);
    EXPECT_EQ(wintest::Sleeps(), (std::vector<DWORD>{2000, 0}));
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

TEST_F(SubstrateTest, ThreadSendsToRecordingWindowAndCanBeWaitedFor) {
    HWND window = wintest::CreateRecordingWindow();
    HANDLE thread = CreateThread(nullptr, 1024, SendThree, window, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    auto messages = wintest::RecordedMessages(window);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].wParam, 3u);
    EXPECT_TRUE(wintest::JoinThreads());
}

TEST_F(SubstrateTest, SubstitutedRoutineRunsInsteadOfTheGivenOne) {
    wintest::SubstituteThreadRoutine(ReturnEleven);
    HWND window = wintest::CreateRecordingWindow();
    HANDLE thread = CreateThread(nullptr, 0, SendThree, window, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_TRUE(wintest::RecordedMessages(window).empty());
}

TEST_F(SubstrateTest, ClosingAnUnknownHandleFailsWithInvalidHandle) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
