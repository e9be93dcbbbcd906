// Substitute machinery, shared by the whole layer: the handle and window tables, the call log,
// scripted failures, the virtual clock, heap blocks, reset hooks, and their test hooks.
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace substitute {
namespace {

std::mutex& TableLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::uintptr_t, std::shared_ptr<KernelObject>>& Handles() {
    static std::map<std::uintptr_t, std::shared_ptr<KernelObject>> handles;
    return handles;
}

std::map<std::uintptr_t, std::shared_ptr<WindowObject>>& Windows() {
    static std::map<std::uintptr_t, std::shared_ptr<WindowObject>> windows;
    return windows;
}

std::uintptr_t& NextHandleValue() {
    static std::uintptr_t next = 0x1000;
    return next;
}

std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

struct ScriptedFailure {
    std::string call;
    DWORD error;
    int times;
    int skip;
};

std::deque<ScriptedFailure>& Failures() {
    static std::deque<ScriptedFailure> failures;
    return failures;
}

// Names consulted by TakeScriptedFailure while recording is on: the points where a failure
// can be injected.
bool& RecordingPoints() {
    static bool on = false;
    return on;
}
std::vector<std::string>& PointLog() {
    static std::vector<std::string> points;
    return points;
}

std::vector<std::function<void()>>& ResetHooks() {
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

bool& VirtualClock() {
    static bool on = false;
    return on;
}

// GetTickCount under the virtual clock. It starts a few seconds before the count wraps, so
// that every measure of elapsed time meets the wrap.
constexpr DWORD kVirtualClockStart = 0xFFFFF000u;
DWORD& VirtualNow() {
    static DWORD now = kVirtualClockStart;
    return now;
}

std::vector<DWORD>& SleepLog() {
    static std::vector<DWORD> sleeps;
    return sleeps;
}

// Blocks from HeapAlloc, with their sizes, so that tests can see what was not released.
std::map<void*, std::size_t>& HeapBlocks() {
    static std::map<void*, std::size_t> blocks;
    return blocks;
}

} // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> guard(TableLock());
    std::uintptr_t value = NextHandleValue();
    NextHandleValue() += 4;
    Handles()[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
    std::lock_guard<std::mutex> guard(TableLock());
    auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    return found == Handles().end() ? nullptr : found->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
    std::lock_guard<std::mutex> guard(TableLock());
    auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end()) {
        return nullptr;
    }
    std::shared_ptr<KernelObject> object = found->second;
    Handles().erase(found);
    return object;
}

HWND AddWindow(std::shared_ptr<WindowObject> window) {
    std::lock_guard<std::mutex> guard(TableLock());
    std::uintptr_t value = NextHandleValue();
    NextHandleValue() += 4;
    Windows()[value] = std::move(window);
    return reinterpret_cast<HWND>(value);
}

std::shared_ptr<WindowObject> FindWindow(HWND window) {
    std::lock_guard<std::mutex> guard(TableLock());
    auto found = Windows().find(reinterpret_cast<std::uintptr_t>(window));
    return found == Windows().end() ? nullptr : found->second;
}

void RemoveWindow(HWND window) {
    std::shared_ptr<WindowObject> doomed;
    {
        std::lock_guard<std::mutex> guard(TableLock());
        auto found = Windows().find(reinterpret_cast<std::uintptr_t>(window));
        if (found != Windows().end()) {
            doomed = found->second;
            Windows().erase(found);
        }
    }
}

void LogCall(const std::string& call, const std::string& detail) {
    std::lock_guard<std::mutex> guard(TableLock());
    Log().push_back(detail.empty() ? call : call + " " + detail);
}

bool TakeScriptedFailure(const std::string& call, DWORD* error) {
    std::lock_guard<std::mutex> guard(TableLock());
    if (RecordingPoints()) {
        PointLog().push_back(call);
    }
    for (auto it = Failures().begin(); it != Failures().end(); ++it) {
        if (it->call != call) {
            continue;
        }
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        *error = it->error;
        if (--it->times <= 0) {
            Failures().erase(it);
        }
        return true;
    }
    return false;
}

void AdvanceVirtualClock(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(TableLock());
    if (VirtualClock()) {
        VirtualNow() += milliseconds;
    }
}

void AddResetHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(TableLock());
    ResetHooks().push_back(std::move(hook));
}

bool RecordSleep(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(TableLock());
    SleepLog().push_back(milliseconds);
    if (VirtualClock()) {
        VirtualNow() += milliseconds;
        return true;
    }
    return false;
}

DWORD PollForSignal(DWORD milliseconds, DWORD pauseMilliseconds,
                    const std::function<bool()>& signalled) {
    auto started = std::chrono::steady_clock::now();
    for (;;) {
        if (signalled()) {
            return WAIT_OBJECT_0;
        }
        if (milliseconds == 0) {
            return WAIT_TIMEOUT;
        }
        DWORD now = 0;
        if (milliseconds != INFINITE && VirtualTickCount(&now)) {
            AdvanceVirtualClock(milliseconds);
            return WAIT_TIMEOUT;
        }
        if (milliseconds != INFINITE &&
            std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(milliseconds)) {
            return WAIT_TIMEOUT;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds));
    }
}

bool VirtualTickCount(DWORD* now) {
    std::lock_guard<std::mutex> guard(TableLock());
    if (!VirtualClock()) {
        return false;
    }
    *now = VirtualNow();
    return true;
}

void AddHeapBlock(void* block, std::size_t bytes) {
    std::lock_guard<std::mutex> guard(TableLock());
    HeapBlocks()[block] = bytes;
}

bool RemoveHeapBlock(void* block, std::size_t* bytes) {
    std::lock_guard<std::mutex> guard(TableLock());
    auto found = HeapBlocks().find(block);
    if (found == HeapBlocks().end()) {
        return false;
    }
    *bytes = found->second;
    HeapBlocks().erase(found);
    return true;
}

namespace {

struct RecordingWindow : WindowObject {
    std::mutex lock;
    std::vector<RecordedMessage> messages;
    std::function<std::string(const RecordedMessage&)> logAs;
    LRESULT Deliver(HWND /*self*/, UINT message, WPARAM wParam, LPARAM lParam) override {
        RecordedMessage received{message, wParam, lParam};
        if (logAs) {
            LogCall(logAs(received));
        }
        std::lock_guard<std::mutex> guard(lock);
        messages.push_back(received);
        return 0;
    }
};

} // namespace

void Reset() {
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard<std::mutex> guard(TableLock());
        Log().clear();
        Failures().clear();
        RecordingPoints() = false;
        PointLog().clear();
        SleepLog().clear();
        VirtualClock() = false;
        VirtualNow() = kVirtualClockStart;
        hooks = ResetHooks();
    }
    for (auto& hook : hooks) {
        hook();
    }
    SetLastError(0);
}

std::vector<std::string> CallLog() {
    std::lock_guard<std::mutex> guard(TableLock());
    return Log();
}

void ClearCallLog() {
    std::lock_guard<std::mutex> guard(TableLock());
    Log().clear();
}

void FailNext(const std::string& call, DWORD error, int times, int skip) {
    std::lock_guard<std::mutex> guard(TableLock());
    Failures().push_back({call, error, times, skip});
}

void RecordFailurePoints(bool on) {
    std::lock_guard<std::mutex> guard(TableLock());
    RecordingPoints() = on;
}

std::vector<std::string> FailurePoints() {
    std::lock_guard<std::mutex> guard(TableLock());
    return PointLog();
}

void UseVirtualClock(bool on) {
    std::lock_guard<std::mutex> guard(TableLock());
    VirtualClock() = on;
}

std::vector<DWORD> Sleeps() {
    std::lock_guard<std::mutex> guard(TableLock());
    return SleepLog();
}

std::vector<std::string> OpenHandles() {
    std::lock_guard<std::mutex> guard(TableLock());
    std::vector<std::string> labels;
    for (const auto& entry : Handles()) {
        if (entry.second->label.rfind("thread:", 0) != 0) {
            labels.push_back(entry.second->label);
        }
    }
    for (const auto& block : HeapBlocks()) {
        labels.push_back("heap:" + std::to_string(block.second));
    }
    return labels;
}

HWND CreateRecordingWindow(std::function<std::string(const RecordedMessage&)> logAs) {
    auto window = std::make_shared<RecordingWindow>();
    window->label = "window:recording";
    window->logAs = std::move(logAs);
    return AddWindow(window);
}

std::vector<RecordedMessage> RecordedMessages(HWND window) {
    auto recorder = FindWindowAs<RecordingWindow>(window);
    if (recorder == nullptr) {
        return {};
    }
    std::lock_guard<std::mutex> guard(recorder->lock);
    return recorder->messages;
}

void DestroyTestWindow(HWND window) {
    RemoveWindow(window);
}

} // namespace substitute
