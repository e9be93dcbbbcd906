// The progress window: the worker it starts, the job messages, Escape and the About button.
#include "core/transport_job.h"
#include "launcher/progress_window.h"
#include "launcher/run_loop.h"
#include "platform/testing.h"
#include "resources/resource_ids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the substituted worker saw when it started.
struct WorkerStart {
    HWND window = nullptr;
    int templateId = 0;
    void* path = nullptr;
};

// Stands for a job that reads no further until the window asks it to stop; bounded.
void AwaitStopRequest() {
    for (int i = 0; i < 10000 && !JobStopRequested(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::mutex g_mutex;
WorkerStart g_start;
std::function<void(HWND)> g_workerBody;

DWORD WINAPI TestWorker(LPVOID path) {
    HWND window = g_progressWindow;
    std::function<void(HWND)> body;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_start = {window, substitute::DialogTemplateId(window), path};
        body = g_workerBody;
    }
    if (body) {
        body(window);
    }
    return 0;
}

class ProgressWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::UseVirtualClock(true);
        substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
        substitute::SubstituteThreadRoutine(TestWorker);
        std::lock_guard<std::mutex> lock(g_mutex);
        g_start = {};
        g_workerBody = nullptr;
        g_lastJobError = 0;
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        // A job given up by its window leaves the cut-off in place for its late end.
        ResetJobCutOff();
        std::lock_guard<std::mutex> lock(g_mutex);
        g_workerBody = nullptr;
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
    }
    void Worker(std::function<void(HWND)> body) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_workerBody = std::move(body);
    }
    WorkerStart Started() {
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_start;
    }
    char path[kPathBufferSize] = "C:\\labels\\ship.zpl";
};

// The handle is published before the worker runs, and the worker gets the path buffer
// itself; the worker's thread handle is not kept.
TEST_F(ProgressWindowTest, DoneEndsWithTheJobsResultAndError) {
    Worker([](HWND window) { SendMessageA(window, WM_JOB_DONE, 1234, 5); });
    EXPECT_EQ(ShowProgressWindow(nullptr, path), 5);
    EXPECT_EQ(g_lastJobError, 1234u);
    EXPECT_TRUE(substitute::JoinThreads());
    WorkerStart start = Started();
    EXPECT_NE(start.window, nullptr);
    EXPECT_EQ(start.templateId, IDD_PROGRESS);
    EXPECT_EQ(start.path, static_cast<void*>(path));
    // OpenHandles does not list threads: the call log shows the handle released at once.
    const auto log = substitute::CallLog();
    auto created = std::find(log.begin(), log.end(), "CreateThread");
    ASSERT_NE(created, log.end());
    ASSERT_NE(created + 1, log.end());
    EXPECT_EQ(created[1], "CloseHandle thread:worker");
    EXPECT_EQ(std::count(log.begin(), log.end(), "CloseHandle thread:worker"), 1);
}

TEST_F(ProgressWindowTest, StatusLineFollowsTheReports) {
    std::vector<std::string> shown;
    substitute::OnMessageHandled([&shown](HWND dialog, int, UINT message, WPARAM, LPARAM) {
        if (message == WM_JOB_STATUS || message == WM_JOB_RANGE || message == WM_JOB_ADVANCE) {
            shown.push_back(substitute::ControlText(dialog, IDC_STATUS_LINE));
        }
    });
    Worker([](HWND window) {
        SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_STARTING, 0);
        SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_OPENING_INPUT, 0);
        SendMessageA(window, WM_JOB_STATUS, 0, 0); // clears the line
        SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_SENDING, 0);
        // The template has no progress bar: these reach no control and change nothing.
        SendMessageA(window, WM_JOB_RANGE, 0, static_cast<LPARAM>(70000u << 16));
        SendMessageA(window, WM_JOB_ADVANCE, 512, 0);
        SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_COMPLETE, 0);
        SendMessageA(window, WM_JOB_STATUS, 9999, 0); // no such string: clears too
        SendMessageA(window, WM_JOB_DONE, 0, 0);
    });
    EXPECT_EQ(ShowProgressWindow(nullptr, path), 0);
    EXPECT_EQ(shown,
              (std::vector<std::string>{"Starting up...", "Opening input file...", "",
                                        "Sending data to the label printer...",
                                        "Sending data to the label printer...",
                                        "Sending data to the label printer...", "Complete", ""}));
}

TEST_F(ProgressWindowTest, HandledMessagesReturnTrue) {
    Worker([](HWND window) { SendMessageA(window, WM_JOB_DONE, 0, 0); });
    std::vector<INT_PTR> results;
    substitute::OnDialogOpened([&results](HWND dialog, int) {
        results.push_back(ProgressWindow(dialog, WM_JOB_RANGE, 0, 0x10000));
        results.push_back(ProgressWindow(dialog, WM_JOB_ADVANCE, 512, 0));
        results.push_back(ProgressWindow(dialog, WM_JOB_STATUS, 0, 0));
        results.push_back(ProgressWindow(dialog, WM_COMMAND, MAKEWPARAM(1008, 0x300), 0));
        results.push_back(ProgressWindow(dialog, WM_CLOSE, 0, 0));
    });
    EXPECT_EQ(ShowProgressWindow(nullptr, path), 0);
    EXPECT_EQ(results, (std::vector<INT_PTR>{TRUE, TRUE, TRUE, FALSE, FALSE}));
}

// Escape hides the window and asks the job to stop; a job that then ends without having
// taken its label whole is cancelled: the window ends with 0 and the job's error is not kept.
TEST_F(ProgressWindowTest, EscapeEndsWithZeroAndTheJobIsCancelled) {
    std::vector<BOOL> visible;
    Worker([&visible](HWND window) {
        SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_STARTING, 0);
        AwaitStopRequest();
        visible.push_back(IsWindowVisible(window));
        SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_COMPLETE, 0);
        SendMessageA(window, WM_JOB_DONE, ERROR_ACCESS_DENIED, 6);
    });
    substitute::OnMessageHandled([](HWND dialog, int, UINT message, WPARAM, LPARAM) {
        if (message == WM_JOB_STATUS) {
            EXPECT_TRUE(substitute::PressEscape(dialog));
        }
    });
    char commandLine[] = "label.txt";
    substitute::SetCommandLineW(L"tagwright.exe label.txt");
    EXPECT_EQ(TagwrightMain(nullptr, commandLine), 1);
    EXPECT_TRUE(substitute::JoinThreads());
    EXPECT_TRUE(ProgressWindowCutOff());
    EXPECT_EQ(visible, std::vector<BOOL>{FALSE});
    EXPECT_EQ(g_lastJobError, 0u);
    EXPECT_TRUE(substitute::MessageBoxes().empty());
}

// A WM_JOB_DONE handled while the About window is open ends the progress window once the
// About window closes.
TEST_F(ProgressWindowTest, DoneWhileAboutIsOpen) {
    Worker([](HWND window) {
        SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_STARTING, 0);
        SendMessageA(window, WM_JOB_DONE, 7, 5);
    });
    std::vector<std::vector<int>> openAtDone;
    substitute::OnMessageHandled([&openAtDone](HWND dialog, int, UINT message, WPARAM, LPARAM) {
        if (message == WM_JOB_STATUS) {
            EXPECT_TRUE(substitute::PressButton(dialog, IDC_ABOUT_BUTTON));
        } else if (message == WM_JOB_DONE) {
            openAtDone.push_back(substitute::OpenDialogs());
            EXPECT_TRUE(substitute::PressButton(substitute::FindOpenDialog(IDD_INFO), IDOK));
        }
    });
    EXPECT_EQ(ShowProgressWindow(nullptr, path), 5);
    EXPECT_EQ(g_lastJobError, 7u);
    EXPECT_EQ(openAtDone, (std::vector<std::vector<int>>{{IDD_PROGRESS, IDD_INFO}}));
    EXPECT_TRUE(substitute::OpenDialogs().empty());
}

// Without a worker nothing would ever end the window: it ends at once with -1.
TEST_F(ProgressWindowTest, WorkerThatCannotStartEndsTheWindow) {
    substitute::FailNext("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    substitute::LeaveLastErrorAfterDialogs(ERROR_SUCCESS);
    bool opened = false;
    substitute::OnDialogOpened([&opened](HWND, int) { opened = true; });
    EXPECT_EQ(ShowProgressWindow(nullptr, path), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(g_lastJobError, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(opened);
    EXPECT_EQ(Started().window, nullptr);
}

// ---- The hidden window of a quiet job ----

// The job runs with the same reports behind a window that is never shown, and the window is
// destroyed once its job has ended.
TEST_F(ProgressWindowTest, HiddenWindowRunsTheJobUnseen) {
    std::vector<BOOL> visible;
    Worker([&visible](HWND window) {
        SendMessageA(window, WM_JOB_STATUS, IDS_STATUS_STARTING, 0);
        visible.push_back(IsWindowVisible(window));
        SendMessageA(window, WM_JOB_DONE, 1234, 5);
    });
    std::vector<std::string> shown;
    substitute::OnMessageHandled([&shown](HWND dialog, int, UINT message, WPARAM, LPARAM) {
        if (message == WM_JOB_STATUS) {
            shown.push_back(substitute::ControlText(dialog, IDC_STATUS_LINE));
        }
    });
    EXPECT_EQ(RunHiddenProgressWindow(nullptr, path), 5);
    EXPECT_EQ(g_lastJobError, 1234u);
    EXPECT_FALSE(ProgressWindowCutOff());
    EXPECT_TRUE(substitute::JoinThreads());
    WorkerStart start = Started();
    EXPECT_EQ(start.templateId, IDD_PROGRESS);
    EXPECT_EQ(start.path, static_cast<void*>(path));
    EXPECT_EQ(visible, std::vector<BOOL>{FALSE});
    EXPECT_EQ(shown, std::vector<std::string>{"Starting up..."});
    EXPECT_TRUE(substitute::ShownDialogs().empty());
    EXPECT_TRUE(substitute::OpenDialogs().empty());
    EXPECT_FALSE(IsWindow(start.window));
    const auto log = substitute::CallLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "CreateDialogParamA 133"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "DestroyWindow 133"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "CloseHandle thread:worker"), 1);
}

// Each way the hidden window can end before or without its job. A job cut off by WM_CLOSE or
// the end of the session is waited for; one whose loop failed is given up at once. Either
// way a job that had not taken its label whole is cancelled, whatever it ended with.
TEST_F(ProgressWindowTest, HiddenWindowEndsWithoutItsJob) {
    enum class End { Close, SessionEnds, LoopFails, NoWorker, NoWindow };
    const struct {
        const char* name;
        End end;
        INT_PTR result;
        bool cutOff;
        DWORD lastError; // after the call; 0: not checked
    } cases[] = {
        {"WM_CLOSE", End::Close, 0, true, 0},
        {"WM_ENDSESSION", End::SessionEnds, 0, true, 0},
        {"GetMessageA fails", End::LoopFails, 0, true, 0},
        {"no worker", End::NoWorker, -1, false, ERROR_NOT_ENOUGH_MEMORY},
        {"no window", End::NoWindow, -1, false, ERROR_RESOURCE_NAME_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        End end = c.end;
        Worker([end](HWND window) {
            if (end == End::Close) {
                PostMessageA(window, WM_CLOSE, 0, 0);
            } else if (end == End::SessionEnds) {
                PostMessageA(window, WM_ENDSESSION, TRUE, 0);
            }
            AwaitStopRequest();
            SendMessageA(window, WM_JOB_DONE, ERROR_ACCESS_DENIED, 6);
        });
        if (c.end == End::LoopFails) {
            substitute::FailNext("GetMessageA", ERROR_INVALID_PARAMETER);
        } else if (c.end == End::NoWorker) {
            substitute::FailNext("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
        } else if (c.end == End::NoWindow) {
            substitute::FailNext("CreateDialogParamA", ERROR_RESOURCE_NAME_NOT_FOUND);
        }
        EXPECT_EQ(RunHiddenProgressWindow(nullptr, path), c.result);
        if (c.lastError != 0) {
            EXPECT_EQ(GetLastError(), c.lastError);
        }
        EXPECT_EQ(ProgressWindowCutOff(), c.cutOff);
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(g_lastJobError, c.end == End::NoWorker ? ERROR_NOT_ENOUGH_MEMORY : 0u);
        EXPECT_TRUE(substitute::ShownDialogs().empty());
        EXPECT_TRUE(substitute::OpenDialogs().empty());
        EXPECT_TRUE(substitute::MessageBoxes().empty());
    }
}

// WM_ENDSESSION is the hidden window's only: the shown one leaves it to the system, and a
// session that goes on changes nothing.
TEST_F(ProgressWindowTest, SessionEndOnlyCutsOffTheHiddenWindow) {
    std::vector<INT_PTR> results;
    Worker([](HWND window) { SendMessageA(window, WM_JOB_DONE, 0, 0); });
    substitute::OnDialogOpened([&results](HWND dialog, int) {
        results.push_back(ProgressWindow(dialog, WM_ENDSESSION, TRUE, 0));
    });
    EXPECT_EQ(ShowProgressWindow(nullptr, path), 0);
    EXPECT_FALSE(ProgressWindowCutOff());
    EXPECT_EQ(results, std::vector<INT_PTR>{FALSE});
    EXPECT_TRUE(substitute::JoinThreads());
    SetUp();
    Worker([](HWND window) {
        SendMessageA(window, WM_ENDSESSION, FALSE, 0);
        SendMessageA(window, WM_JOB_DONE, 5, 6);
    });
    EXPECT_EQ(RunHiddenProgressWindow(nullptr, path), 6);
    EXPECT_FALSE(ProgressWindowCutOff());
}

} // namespace
