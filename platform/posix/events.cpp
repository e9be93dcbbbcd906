// Substitute events and waits: CreateEventA, OpenEventA, SetEvent, ResetEvent and
// WaitForMultipleObjects. A named event is a state file in the user's named-object folder,
// held with a shared flock by every process that has it open, so that OpenEventA finds it only
// while some process does; its first byte is '1' while it is set.
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr DWORD kPollPause = 2; // milliseconds
constexpr std::size_t kMaxNameLength = 200;

struct EventState {
    std::string name;
    bool manualReset = true;
    int descriptor = -1; // the state file of a named event, else -1
    std::mutex lock;
    bool set = false; // an unnamed event's state
    ~EventState() {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    bool IsSet() {
        std::lock_guard<std::mutex> guard(lock);
        if (descriptor < 0) {
            return set;
        }
        char mark = '0';
        return ::pread(descriptor, &mark, 1, 0) == 1 && mark == '1';
    }
    void Store(bool value) {
        std::lock_guard<std::mutex> guard(lock);
        set = value;
        if (descriptor >= 0) {
            char mark = value ? '1' : '0';
            if (::pwrite(descriptor, &mark, 1, 0) != 1) {
                set = !value;
            }
        }
    }
    // A wait that finds an auto-reset event set takes the signal.
    bool Take() {
        if (!IsSet()) {
            return false;
        }
        if (!manualReset) {
            Store(false);
        }
        return true;
    }
};

struct EventHandle : substitute::KernelObject {
    std::shared_ptr<EventState> event;
    DWORD Wait(DWORD milliseconds) override {
        return substitute::PollForSignal(milliseconds, kPollPause,
                                         [this] { return event->Take(); });
    }
};

std::mutex& NamesLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::weak_ptr<EventState>>& Names() {
    static std::map<std::string, std::weak_ptr<EventState>> names;
    return names;
}

std::string StateFileName(const std::string& name) {
    std::string file = "tagwright-event-";
    for (char c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.';
        file += plain ? c : '_';
    }
    return file + ".state";
}

// True when no process holds the state file open as an event (its flock is free).
bool NoHolder(int descriptor) {
    return ::flock(descriptor, LOCK_EX | LOCK_NB) == 0;
}

HANDLE AddEventHandle(const std::shared_ptr<EventState>& event) {
    auto handle = std::make_shared<EventHandle>();
    handle->event = event;
    handle->label = "event:" + (event->name.empty() ? std::string("(unnamed)") : event->name);
    return substitute::AddHandle(handle);
}

std::shared_ptr<EventState> FindEvent(HANDLE handle) {
    auto found = substitute::FindHandleAs<EventHandle>(handle);
    return found == nullptr ? nullptr : found->event;
}

} // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES /*security*/, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    substitute::LogCall("CreateEventA", name == nullptr ? std::string("(unnamed)") : name);
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("CreateEventA", &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (name == nullptr) {
        auto event = std::make_shared<EventState>();
        event->manualReset = manualReset != FALSE;
        event->set = initialState != FALSE;
        SetLastError(ERROR_SUCCESS);
        return AddEventHandle(event);
    }
    if (std::char_traits<char>::length(name) > kMaxNameLength) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(NamesLock());
    std::shared_ptr<EventState> event = Names()[name].lock();
    bool existed = event != nullptr;
    if (!existed) {
        std::string folder = substitute::NamedObjectFolder();
        if (folder.empty()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        std::string path = folder + "/" + StateFileName(name);
        int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (descriptor < 0) {
            SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
            return nullptr;
        }
        event = std::make_shared<EventState>();
        event->name = name;
        event->manualReset = manualReset != FALSE;
        event->descriptor = descriptor;
        existed = !NoHolder(descriptor);
        if (!existed) {
            event->Store(initialState != FALSE);
        }
        ::flock(descriptor, LOCK_SH);
        Names()[name] = event;
    }
    HANDLE handle = AddEventHandle(event);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE OpenEventA(DWORD /*access*/, BOOL /*inheritHandle*/, LPCSTR name) {
    substitute::LogCall("OpenEventA", name == nullptr ? std::string("(unnamed)") : name);
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("OpenEventA", &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (name == nullptr || std::char_traits<char>::length(name) > kMaxNameLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(NamesLock());
    std::shared_ptr<EventState> event = Names()[name].lock();
    if (event == nullptr) {
        std::string folder = substitute::NamedObjectFolder();
        int descriptor = folder.empty() ? -1
                                        : ::open((folder + "/" + StateFileName(name)).c_str(),
                                                 O_RDWR | O_CLOEXEC);
        if (descriptor < 0 || NoHolder(descriptor)) {
            if (descriptor >= 0) {
                ::close(descriptor);
            }
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        ::flock(descriptor, LOCK_SH);
        event = std::make_shared<EventState>();
        event->name = name;
        event->descriptor = descriptor;
        Names()[name] = event;
    }
    SetLastError(ERROR_SUCCESS);
    return AddEventHandle(event);
}

BOOL SetEvent(HANDLE handle) {
    std::shared_ptr<EventState> event = FindEvent(handle);
    substitute::LogCall("SetEvent", event == nullptr ? std::string("invalid") : event->name);
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("SetEvent", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Store(true);
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    std::shared_ptr<EventState> event = FindEvent(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Store(false);
    return TRUE;
}

namespace substitute {

DWORD WaitForAnyObject(DWORD count, const HANDLE* handles, DWORD milliseconds,
                       const std::function<bool()>& inputReady) {
    if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KernelObject>> objects;
    for (DWORD index = 0; index < count; ++index) {
        std::shared_ptr<KernelObject> object = FindHandle(handles[index]);
        if (object == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(object);
    }
    auto started = std::chrono::steady_clock::now();
    for (;;) {
        for (DWORD index = 0; index < count; ++index) {
            DWORD result = objects[index]->Wait(0);
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
                return result + index;
            }
            if (result == WAIT_FAILED) {
                return WAIT_FAILED;
            }
        }
        if (inputReady && inputReady()) {
            return WAIT_OBJECT_0 + count;
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
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollPause));
    }
}

} // namespace substitute

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    substitute::LogCall("WaitForMultipleObjects", std::to_string(count));
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("WaitForMultipleObjects", &error)) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    if (waitAll != FALSE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return substitute::WaitForAnyObject(count, handles, milliseconds, nullptr);
}
