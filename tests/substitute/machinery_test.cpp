// The substitute kernel core: scripted failures, virtual clock, threads, recording windows.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// Each call returns the mode before it and is logged with the mode it sets; Reset clears it.
TEST_F(MachineryTest, ErrorModeReturnsTheModeBeforeIt) {
    EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX), 0u);
    EXPECT_EQ(SetErrorMode(0), SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(substitute::CallLog(),
              (std::vector<std::string>{"SetErrorMode 0x8001", "SetErrorMode 0x0000"}));
    SetErrorMode(SEM_FAILCRITICALERRORS);
    substitute::Reset();
    EXPECT_EQ(SetErrorMode(0), 0u);
}

TEST_F(MachineryTest, EnvironmentValuesOfTheTestsComeBeforeTheProcesssOwn) {
    WCHAR buffer[64];
    ASSERT_NE(std::getenv("PATH"), nullptr);
    EXPECT_GT(GetEnvironmentVariableW(L"PATH", nullptr, 0), 0u);

    substitute::SetEnvironmentValue("PATH", nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetEnvironmentVariableW(L"PATH", buffer, 64), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));

    // "C:\Users\Zoë": 12 characters.
    substitute::SetEnvironmentValue("LOCALAPPDATA", "C:\\Users\\Zo\xc3\xab");
    EXPECT_EQ(GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, 12), 13u) << "the size needed";
    EXPECT_EQ(GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, 13), 12u);
    EXPECT_EQ(std::wstring(buffer), L"C:\\Users\\Zo\u00eb");

    substitute::Reset();
    EXPECT_GT(GetEnvironmentVariableW(L"PATH", nullptr, 0), 0u);
}

TEST_F(MachineryTest, FixedWallClockGivesUtcAndLocalTime) {
    struct Case {
        int offsetMinutes;
        SYSTEMTIME local;
    };
    // 2024-02-29T23:59:59Z, a Thursday.
    const SYSTEMTIME utc{2024, 2, 4, 29, 23, 59, 59, 0};
    const Case cases[] = {
        {0, utc},
        {60, {2024, 3, 5, 1, 0, 59, 59, 0}},
        {-1439, {2024, 2, 4, 29, 0, 0, 59, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offsetMinutes);
        substitute::FixWallClock(1709251199, c.offsetMinutes);
        SYSTEMTIME got{};
        GetSystemTime(&got);
        EXPECT_EQ(std::memcmp(&got, &utc, sizeof got), 0);
        GetLocalTime(&got);
        EXPECT_EQ(std::memcmp(&got, &c.local, sizeof got), 0)
            << got.wYear << "-" << got.wMonth << "-" << got.wDay << " " << got.wDayOfWeek << " "
            << got.wHour << ":" << got.wMinute << ":" << got.wSecond;
    }
}

} // namespace
