// Substitute kernel calls: last error, Sleep and GetTickCount on the virtual
// clock, threads, waits, CloseHandle, the process heap, the command line, the error mode,
// environment variables, the process id and the wall clock; and their hooks.
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <optional>
#include <thread>
#include <unistd.h>

namespace {

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

constexpr wchar_t kProgramCommandLine[] = L"tagwright.exe";

// The process's error mode, which only SetErrorMode reads and writes.
std::atomic<UINT>& ErrorMode() {
    static std::atomic<UINT> mode{0};
    return mode;
}

// Set by a test before the program reads it, read on the first thread: no lock.
std::wstring& CommandLineText() {
    static std::wstring text = kProgramCommandLine;
    return text;
}

struct ThreadObject : substitute::KernelObject {
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

// Environment values set by the tests (nullopt: absent), in front of the process's own; and
// the wall clock they fixed (UTC seconds and the local offset in minutes).
struct EnvironmentState {
    std::mutex lock;
    std::map<std::string, std::optional<std::string>> values;
    bool clockFixed = false;
    std::int64_t utcSeconds = 0;
    int offsetMinutes = 0;
};

EnvironmentState& Environment() {
    static EnvironmentState state;
    return state;
}

const int kInstallResetHook = [] {
    substitute::AddResetHook([] {
        {
            std::lock_guard<std::mutex> guard(ThreadLock());
            ThreadRoutineOverride() = nullptr;
            CommandLineText() = kProgramCommandLine;
        }
        ErrorMode() = 0;
        EnvironmentState& environment = Environment();
        std::lock_guard<std::mutex> guard(environment.lock);
        environment.values.clear();
        environment.clockFixed = false;
    });
    return 0;
}();

} // namespace

using substitute::LogCall;
using substitute::TakeScriptedFailure;

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD error) {
    lastError = error;
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
    if (!substitute::RecordSleep(milliseconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

DWORD GetTickCount() {
    DWORD now = 0;
    if (substitute::VirtualTickCount(&now)) {
        return now;
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
    auto object = std::make_shared<ThreadObject>();
    object->label = "thread:worker";
    HANDLE handle = substitute::AddHandle(object);
    {
        std::lock_guard<std::mutex> guard(ThreadLock());
        ++RunningThreads();
    }
    LogCall("CreateThread");
    {
        std::lock_guard<std::mutex> guard(ThreadLock());
        if (ThreadRoutineOverride() != nullptr) {
            start = ThreadRoutineOverride();
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
        std::lock_guard<std::mutex> guard(ThreadLock());
        --RunningThreads();
        ThreadsChanged().notify_all();
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
        substitute::AddHeapBlock(block, bytes);
    }
    LogCall("HeapAlloc", std::to_string(bytes));
    return block;
}

namespace {

// Gives a block of HeapAlloc back; false when it is not one.
bool FreeHeapBlock(LPVOID memory) {
    std::size_t bytes = 0;
    if (!substitute::RemoveHeapBlock(memory, &bytes)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
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

LPWSTR GetCommandLineW() {
    return CommandLineText().data();
}

// Logged with the mode asked for, in hexadecimal, so that a test can see it was set.
UINT SetErrorMode(UINT mode) {
    char detail[16];
    std::snprintf(detail, sizeof detail, "0x%04X", mode);
    LogCall("SetErrorMode", detail);
    return ErrorMode().exchange(mode);
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    std::string key;
    for (LPCWSTR at = name; at != nullptr && *at != 0; ++at) {
        // Variable names the program asks for are ASCII.
        key.push_back(static_cast<char>(*at & 0x7F));
    }
    LogCall("GetEnvironmentVariableW", key);
    DWORD error = 0;
    if (TakeScriptedFailure("GetEnvironmentVariableW", &error)) {
        SetLastError(error);
        return 0;
    }
    std::optional<std::string> value;
    {
        EnvironmentState& environment = Environment();
        std::lock_guard<std::mutex> guard(environment.lock);
        auto set = environment.values.find(key);
        if (set != environment.values.end()) {
            value = set->second;
        } else if (const char* own = std::getenv(key.c_str()); own != nullptr) {
            value = std::string(own);
        }
    }
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if (value->empty()) {
        if (buffer != nullptr && size > 0) {
            buffer[0] = 0;
        }
        return 0; // as Windows: an empty value also returns 0, with no error set
    }
    int needed = MultiByteToWideChar(CP_UTF8, 0, value->c_str(), -1, nullptr, 0);
    if (needed <= 0) {
        return 0;
    }
    // Too small a buffer: the size needed, with its NUL; otherwise the length without it.
    if (buffer == nullptr || size < static_cast<DWORD>(needed)) {
        return static_cast<DWORD>(needed);
    }
    MultiByteToWideChar(CP_UTF8, 0, value->c_str(), -1, buffer, needed);
    return static_cast<DWORD>(needed - 1);
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

namespace {

SYSTEMTIME SystemTimeOf(std::int64_t seconds, int milliseconds) {
    std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&whole, &parts);
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(parts.tm_year + 1900);
    time.wMonth = static_cast<WORD>(parts.tm_mon + 1);
    time.wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    time.wDay = static_cast<WORD>(parts.tm_mday);
    time.wHour = static_cast<WORD>(parts.tm_hour);
    time.wMinute = static_cast<WORD>(parts.tm_min);
    time.wSecond = static_cast<WORD>(parts.tm_sec);
    time.wMilliseconds = static_cast<WORD>(milliseconds);
    return time;
}

// The time in seconds, shifted to local time when `local`: the fixed clock, or the system's
// clock and time zone.
SYSTEMTIME WallClock(bool local) {
    EnvironmentState& environment = Environment();
    {
        std::lock_guard<std::mutex> guard(environment.lock);
        if (environment.clockFixed) {
            return SystemTimeOf(
                environment.utcSeconds + (local ? environment.offsetMinutes * 60 : 0), 0);
        }
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::int64_t seconds = now.tv_sec;
    if (local) {
        std::tm parts{};
        localtime_r(&now.tv_sec, &parts);
        seconds += parts.tm_gmtoff;
    }
    return SystemTimeOf(seconds, static_cast<int>(now.tv_nsec / 1000000));
}

} // namespace

void GetSystemTime(LPSYSTEMTIME time) {
    *time = WallClock(false);
}

void GetLocalTime(LPSYSTEMTIME time) {
    *time = WallClock(true);
}

namespace substitute {

void SetEnvironmentValue(const std::string& name, const char* value) {
    EnvironmentState& environment = Environment();
    std::lock_guard<std::mutex> guard(environment.lock);
    environment.values[name] = value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void FixWallClock(std::int64_t utcSeconds, int offsetMinutes) {
    EnvironmentState& environment = Environment();
    std::lock_guard<std::mutex> guard(environment.lock);
    environment.clockFixed = true;
    environment.utcSeconds = utcSeconds;
    environment.offsetMinutes = offsetMinutes;
}

void SubstituteThreadRoutine(LPTHREAD_START_ROUTINE routine) {
    std::lock_guard<std::mutex> guard(ThreadLock());
    ThreadRoutineOverride() = routine;
}

bool JoinThreads(unsigned timeoutMilliseconds) {
    std::unique_lock<std::mutex> guard(ThreadLock());
    return ThreadsChanged().wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds),
                                     [] { return RunningThreads() == 0; });
}

void SetCommandLineW(const std::wstring& commandLine) {
    CommandLineText() = commandLine;
}

} // namespace substitute
