// The substitute's timers: SetTimer and KillTimer, WM_TIMER in a modal loop and in GetMessageA,
// on the virtual clock.
#include "platform/testing.h"
#include "resources/resource_ids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr UINT_PTR kTimer = 7;
constexpr UINT WM_TEST_ADVANCE = WM_APP + 30; // wParam: virtual milliseconds to pass

std::vector<DWORD> g_firedAt; // GetTickCount at each WM_TIMER
int g_endAfter = 2;

// Passes virtual time for the dialog's thread, as a worker's pause would.
DWORD WINAPI AdvancingWorker(LPVOID dialog) {
    for (int i = 0; i < 12; ++i) {
        SendMessageA(static_cast<HWND>(dialog), WM_TEST_ADVANCE, 0, 0);
        Sleep(1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return 0;
}

INT_PTR CALLBACK TimerDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        EXPECT_EQ(SetTimer(dialog, kTimer, 3000, nullptr), kTimer);
        HANDLE thread = CreateThread(nullptr, 1024, AdvancingWorker, dialog, 0, nullptr);
        CloseHandle(thread);
        return FALSE;
    }
    case WM_TIMER:
        EXPECT_EQ(wParam, kTimer);
        g_firedAt.push_back(GetTickCount());
        if (static_cast<int>(g_firedAt.size()) == g_endAfter) {
            EXPECT_TRUE(KillTimer(dialog, kTimer));
            EndDialog(dialog, 5);
        }
        return TRUE;
    case WM_TEST_ADVANCE:
        return TRUE;
    default:
        return FALSE;
    }
}

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
        g_firedAt.clear();
    }
    void TearDown() override { EXPECT_TRUE(substitute::JoinThreads()); }
};

// The timer is due once the clock has moved on by its period, and again each period after;
// only the virtual clock's pauses move it, so it fires twice in the 12 s they pass.
TEST_F(TimerTest, ModalLoopGivesWmTimerEachPeriodOfTheVirtualClock) {
    DWORD start = GetTickCount();
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, TimerDialog, 0), 5);
    ASSERT_EQ(g_firedAt.size(), 2u);
    EXPECT_GE(g_firedAt[0] - start, 3000u);
    EXPECT_GE(g_firedAt[1] - g_firedAt[0], 3000u);
    const auto log = substitute::CallLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "SetTimer 7 3000"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "KillTimer 7"), 1);
}

// GetMessageA returns WM_TIMER after the posted messages; a killed timer, a timer of a window
// that is gone, another thread's window and a timer procedure are refused or never fire.
TEST_F(TimerTest, GetMessageGivesTimersAfterPostedMessagesAndOnlyLiveOnes) {
    HWND window = CreateDialogParamA(
        nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SetTimer(window, 1, 100, nullptr), 1u);
    EXPECT_EQ(SetTimer(window, 2, 100, nullptr), 2u);
    EXPECT_TRUE(KillTimer(window, 2));
    EXPECT_FALSE(KillTimer(window, 2));
    EXPECT_EQ(SetTimer(window, 3, 100, [](HWND, UINT, UINT_PTR, DWORD) {}), 0u);
    UINT_PTR fromOtherThread = 1;
    std::thread([&] { fromOtherThread = SetTimer(window, 4, 100, nullptr); }).join();
    EXPECT_EQ(fromOtherThread, 0u);
    Sleep(100);
    EXPECT_TRUE(PostMessageA(window, WM_TEST_ADVANCE, 0, 0));
    MSG message = {};
    std::vector<std::pair<UINT, WPARAM>> taken;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(GetMessageA(&message, nullptr, 0, 0), TRUE);
        taken.emplace_back(message.message, message.wParam);
        EXPECT_EQ(message.hwnd, window);
    }
    EXPECT_EQ(taken, (std::vector<std::pair<UINT, WPARAM>>{{WM_TEST_ADVANCE, 0}, {WM_TIMER, 1}}));
    EXPECT_TRUE(DestroyWindow(window));
    // The destroyed window's timer is gone with it: nothing wakes the loop now.
    Sleep(1000);
    substitute::SetDialogStallTimeout(50);
    substitute::SetFailureReporter([](const std::string&) {});
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), -1);
}

} // namespace
