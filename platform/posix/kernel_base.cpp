// Substitute kernel core: last error, handle and window tables, call log, scripted failures,
// Sleep with its virtual clock, threads, waits, the process heap and SendMessageA dispatch.
#include "platform/posix/substrate.h"
#include "platform/testing.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
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

// Never destroyed: detached threads may still use them while the process exits.
std::mutex& ThreadLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::condition_variable& ThreadsChanged() {
    static auto* changed = new std::condition_variable;
    return *changed;
}
int& RunningThreads() {
    static int running = 0;
    return running;
}

LPTHREAD_START_ROUTINE& ThreadRoutineOverride() {
    static LPTHREAD_START_ROUTINE routine = nullptr;
    return routine;
}

thread_local DWORD lastError = 0;

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

namespace {

struct ThreadObject : KernelObject {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    DWORD exitCode = 0;
    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> guard(lock);
        if (milliseconds == INFINITE) {
            ended.wait(guard, [this] { return done; });
            return WAIT_OBJECT_0;
        }
        return ended.wait_for(guard, std::chrono::milliseconds(milliseconds),
                              [this] { return done; })
                   ? WAIT_OBJECT_0
                   : WAIT_TIMEOUT;
    }
};

} // namespace
} // namespace substitute

using substitute::LogCall;
using substitute::TakeScriptedFailure;

DWORD GetLastError() {
    return substitute::lastError;
}

void SetLastError(DWORD error) {
    substitute::lastError = error;
}

namespace {

// CloseHandle and the frees: a scripted failure is logged as "<call> failed", leaves its
// error as the last error, and releases nothing.
bool ReleaseFailsAsScripted(const char* call) {
    DWORD error = 0;
    if (!TakeScriptedFailure(call, &error)) {
        return false;
    }
    LogCall(call, "failed");
    SetLastError(error);
    return true;
}

} // namespace

void Sleep(DWORD milliseconds) {
    bool simulated = false;
    {
        std::lock_guard<std::mutex> guard(substitute::TableLock());
        substitute::SleepLog().push_back(milliseconds);
        simulated = substitute::VirtualClock();
        if (simulated) {
            substitute::VirtualNow() += milliseconds;
        }
    }
    if (!simulated) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

DWORD GetTickCount() {
    {
        std::lock_guard<std::mutex> guard(substitute::TableLock());
        if (substitute::VirtualClock()) {
            return substitute::VirtualNow();
        }
    }
    auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*security*/, SIZE_T /*stackSize*/,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD /*flags*/,
                    LPDWORD threadId) {
    DWORD error = 0;
    if (TakeScriptedFailure("CreateThread", &error)) {
        LogCall("CreateThread", "failed");
        SetLastError(error);
        return nullptr;
    }
    auto object = std::make_shared<substitute::ThreadObject>();
    object->label = "thread:worker";
    HANDLE handle = substitute::AddHandle(object);
    {
        std::lock_guard<std::mutex> guard(substitute::ThreadLock());
        ++substitute::RunningThreads();
    }
    LogCall("CreateThread");
    {
        std::lock_guard<std::mutex> guard(substitute::TableLock());
        if (substitute::ThreadRoutineOverride() != nullptr) {
            start = substitute::ThreadRoutineOverride();
        }
    }
    std::thread([object, start, parameter] {
        DWORD code = start(parameter);
        {
            std::lock_guard<std::mutex> guard(object->lock);
            object->done = true;
            object->exitCode = code;
        }
        object->ended.notify_all();
        // Notified under the lock: a waiter that sees the count reach zero may end the
        // process, which must not find this thread still inside notify_all.
        std::lock_guard<std::mutex> guard(substitute::ThreadLock());
        --substitute::RunningThreads();
        substitute::ThreadsChanged().notify_all();
    }).detach();
    if (threadId != nullptr) {
        *threadId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(handle));
    }
    return handle;
}

BOOL CloseHandle(HANDLE object) {
    // A scripted failure stands for the only one the system has, an invalid handle: the
    // object stays open.
    if (ReleaseFailsAsScripted("CloseHandle")) {
        return FALSE;
    }
    std::shared_ptr<substitute::KernelObject> removed = substitute::RemoveHandle(object);
    if (removed == nullptr) {
        LogCall("CloseHandle", "invalid");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    LogCall("CloseHandle", removed->label);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    std::shared_ptr<substitute::KernelObject> found = substitute::FindHandle(object);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    LogCall("WaitForSingleObject", found->label);
    DWORD error = 0;
    if (TakeScriptedFailure("WaitForSingleObject", &error)) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    return found->Wait(milliseconds);
}

HANDLE GetProcessHeap() {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0xFEE0));
}

LPVOID HeapAlloc(HANDLE /*heap*/, DWORD flags, SIZE_T bytes) {
    DWORD error = 0;
    if (TakeScriptedFailure("HeapAlloc", &error)) {
        LogCall("HeapAlloc", "failed");
        SetLastError(error);
        return nullptr;
    }
    void* block = (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(bytes == 0 ? 1 : bytes, 1)
                                                  : std::malloc(bytes == 0 ? 1 : bytes);
    if (block != nullptr) {
        std::lock_guard<std::mutex> guard(substitute::TableLock());
        substitute::HeapBlocks()[block] = bytes;
    }
    LogCall("HeapAlloc", std::to_string(bytes));
    return block;
}

namespace {

// Gives a block of HeapAlloc back; false when it is not one.
bool FreeHeapBlock(LPVOID memory) {
    std::size_t bytes = 0;
    {
        std::lock_guard<std::mutex> guard(substitute::TableLock());
        auto found = substitute::HeapBlocks().find(memory);
        if (found == substitute::HeapBlocks().end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        bytes = found->second;
        substitute::HeapBlocks().erase(found);
    }
    std::free(memory);
    LogCall("HeapFree", std::to_string(bytes));
    return true;
}

} // namespace

// Scripted failures of the two frees stand for a block that is not the heap's: it stays.
BOOL HeapFree(HANDLE /*heap*/, DWORD /*flags*/, LPVOID memory) {
    if (ReleaseFailsAsScripted("HeapFree")) {
        return FALSE;
    }
    return FreeHeapBlock(memory) ? TRUE : FALSE;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
    if (memory == nullptr) {
        return nullptr;
    }
    if (ReleaseFailsAsScripted("GlobalFree")) {
        return memory;
    }
    return FreeHeapBlock(memory) ? nullptr : memory;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<substitute::WindowObject> target = substitute::FindWindow(window);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return target->Deliver(window, message, wParam, lParam);
}

namespace {

struct RecordingWindow : substitute::WindowObject {
    std::mutex lock;
    std::vector<substitute::RecordedMessage> messages;
    std::function<std::string(const substitute::RecordedMessage&)> logAs;
    LRESULT Deliver(HWND /*self*/, UINT message, WPARAM wParam, LPARAM lParam) override {
        substitute::RecordedMessage received{message, wParam, lParam};
        if (logAs) {
            LogCall(logAs(received));
        }
        std::lock_guard<std::mutex> guard(lock);
        messages.push_back(received);
        return 0;
    }
};

} // namespace

namespace substitute {

void Reset() {
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard<std::mutex> guard(substitute::TableLock());
        substitute::Log().clear();
        substitute::Failures().clear();
        substitute::RecordingPoints() = false;
        substitute::PointLog().clear();
        substitute::SleepLog().clear();
        substitute::VirtualClock() = false;
        substitute::VirtualNow() = substitute::kVirtualClockStart;
        substitute::ThreadRoutineOverride() = nullptr;
        hooks = substitute::ResetHooks();
    }
    for (auto& hook : hooks) {
        hook();
    }
    SetLastError(0);
}

std::vector<std::string> CallLog() {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    return substitute::Log();
}

void ClearCallLog() {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    substitute::Log().clear();
}

void FailNext(const std::string& call, DWORD error, int times, int skip) {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    substitute::Failures().push_back({call, error, times, skip});
}

void RecordFailurePoints(bool on) {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    substitute::RecordingPoints() = on;
}

std::vector<std::string> FailurePoints() {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    return substitute::PointLog();
}

void UseVirtualClock(bool on) {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    substitute::VirtualClock() = on;
}

std::vector<DWORD> Sleeps() {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    return substitute::SleepLog();
}

std::vector<std::string> OpenHandles() {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    std::vector<std::string> labels;
    for (const auto& entry : substitute::Handles()) {
        if (entry.second->label.rfind("thread:", 0) != 0) {
            labels.push_back(entry.second->label);
        }
    }
    for (const auto& block : substitute::HeapBlocks()) {
        labels.push_back("heap:" + std::to_string(block.second));
    }
    return labels;
}

void SubstituteThreadRoutine(LPTHREAD_START_ROUTINE routine) {
    std::lock_guard<std::mutex> guard(substitute::TableLock());
    substitute::ThreadRoutineOverride() = routine;
}

bool JoinThreads(unsigned timeoutMilliseconds) {
    std::unique_lock<std::mutex> guard(substitute::ThreadLock());
    return substitute::ThreadsChanged().wait_for(guard,
                                                 std::chrono::milliseconds(timeoutMilliseconds),
                                                 [] { return substitute::RunningThreads() == 0; });
}

HWND CreateRecordingWindow(std::function<std::string(const RecordedMessage&)> logAs) {
    auto window = std::make_shared<RecordingWindow>();
    window->label = "window:recording";
    window->logAs = std::move(logAs);
    return substitute::AddWindow(window);
}

std::vector<RecordedMessage> RecordedMessages(HWND window) {
    auto recorder = substitute::FindWindowAs<RecordingWindow>(window);
    if (recorder == nullptr) {
        return {};
    }
    std::lock_guard<std::mutex> guard(recorder->lock);
    return recorder->messages;
}

void DestroyTestWindow(HWND window) {
    substitute::RemoveWindow(window);
}

} // namespace substitute
