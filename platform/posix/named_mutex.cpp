// Substitute named mutex: CreateMutexA and ReleaseMutex. A named mutex is a lock file held with
// flock() in the user's runtime folder, so every process of the user shares it; within a process
// all handles to one name share one object, owned per thread with a recursion count. A wait
// with a time-out runs on the clock GetTickCount reads, the virtual clock included.
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

constexpr DWORD kErrorFilenameTooLong = 206;
constexpr std::size_t kMaxNameLength = 200;

// The first byte of a lock file says whether a holder owns it. A holder that dies keeps
// the mark while the kernel drops its flock, so the next owner learns it was abandoned.
constexpr char kHeldMark = '1';
constexpr char kFreeMark = '0';

struct MutexObject : std::enable_shared_from_this<MutexObject> {
    std::string name;
    int descriptor = -1; // the lock file; -1 for a mutex without a name
    std::mutex lock;
    std::condition_variable released;
    std::thread::id owner;
    unsigned recursion = 0;
    bool abandoned = false; // an owning thread of this process ended without releasing
    ~MutexObject() {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    DWORD Acquire(DWORD milliseconds);
    bool Release();
    void Abandon();
};

struct MutexHandle : substitute::KernelObject {
    std::shared_ptr<MutexObject> mutex;
    DWORD Wait(DWORD milliseconds) override { return mutex->Acquire(milliseconds); }
};

// Mutexes the current thread owns; when the thread ends they are abandoned, as Windows does.
struct OwnedMutexes {
    std::vector<std::weak_ptr<MutexObject>> owned;
    ~OwnedMutexes() {
        for (auto& entry : owned) {
            if (auto mutex = entry.lock()) {
                mutex->Abandon();
            }
        }
    }
};

thread_local OwnedMutexes ownedByThisThread;

void ForgetOwned(MutexObject* mutex) {
    auto& owned = ownedByThisThread.owned;
    std::erase_if(owned, [mutex](const std::weak_ptr<MutexObject>& entry) {
        auto held = entry.lock();
        return held == nullptr || held.get() == mutex;
    });
}

// How a wait with a time-out looks again: every kPollStep of the substitute's clock, and under
// the virtual clock in at most about kVirtualPolls looks, each a real moment long, so that a
// test that waits out a time-out does not really wait.
constexpr DWORD kPollStep = 5; // milliseconds
constexpr DWORD kVirtualPolls = 50;
constexpr auto kVirtualPollPause = std::chrono::milliseconds(1);

// Makes the claimed object this thread's: marks the lock file held and learns whether the
// last holder left it abandoned.
DWORD TakeOwnership(MutexObject* mutex, std::unique_lock<std::mutex>& guard) {
    bool wasAbandoned = false;
    if (mutex->descriptor >= 0) {
        char mark = kFreeMark;
        wasAbandoned = ::pread(mutex->descriptor, &mark, 1, 0) == 1 && mark == kHeldMark;
        ::pwrite(mutex->descriptor, &kHeldMark, 1, 0);
    }
    guard.lock();
    wasAbandoned = wasAbandoned || mutex->abandoned;
    mutex->abandoned = false;
    mutex->recursion = 1;
    guard.unlock();
    ownedByThisThread.owned.push_back(mutex->weak_from_this());
    return wasAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// Gives up a claim within the process whose lock file could not be had.
void DropClaim(MutexObject* mutex, std::unique_lock<std::mutex>& guard) {
    guard.lock();
    mutex->owner = std::thread::id();
    guard.unlock();
    mutex->released.notify_one();
}

// Pauses a polling wait that has `left` of `total` milliseconds to go.
void PausePoll(DWORD left, DWORD total) {
    DWORD now = 0;
    if (substitute::VirtualTickCount(&now)) {
        DWORD step = std::max(kPollStep, total / kVirtualPolls);
        substitute::AdvanceVirtualClock(std::min(step, left));
        std::this_thread::sleep_for(kVirtualPollPause);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kPollStep, left)));
}

DWORD MutexObject::Acquire(DWORD milliseconds) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(lock);
    if (owner == self) {
        ++recursion;
        return WAIT_OBJECT_0;
    }
    if (milliseconds == INFINITE) {
        released.wait(guard, [this] { return owner == std::thread::id(); });
        // Claimed within the process; other threads wait on `released` while this one waits
        // for the other processes.
        owner = self;
        guard.unlock();
        while (descriptor >= 0 && ::flock(descriptor, LOCK_EX) != 0) {
            if (errno != EINTR) {
                DropClaim(this, guard);
                return WAIT_FAILED;
            }
        }
        return TakeOwnership(this, guard);
    }
    guard.unlock();
    // A wait with a time-out looks for a free object and a free lock file in turn, on the
    // clock GetTickCount reads.
    const DWORD started = GetTickCount();
    for (;;) {
        guard.lock();
        bool claimed = owner == std::thread::id();
        if (claimed) {
            owner = self;
        }
        guard.unlock();
        if (claimed) {
            if (descriptor < 0 || ::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
                return TakeOwnership(this, guard);
            }
            int error = errno;
            DropClaim(this, guard);
            if (error != EWOULDBLOCK && error != EINTR) {
                return WAIT_FAILED;
            }
        }
        DWORD waited = GetTickCount() - started;
        if (waited >= milliseconds) {
            return WAIT_TIMEOUT;
        }
        PausePoll(milliseconds - waited, milliseconds);
    }
}

bool MutexObject::Release() {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (owner != std::this_thread::get_id() || recursion == 0) {
            return false;
        }
        if (--recursion > 0) {
            return true;
        }
        if (descriptor >= 0) {
            ::pwrite(descriptor, &kFreeMark, 1, 0);
            ::flock(descriptor, LOCK_UN);
        }
        owner = std::thread::id();
    }
    ForgetOwned(this);
    released.notify_one();
    return true;
}

void MutexObject::Abandon() {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (owner != std::this_thread::get_id()) {
            return;
        }
        recursion = 0;
        abandoned = true;
        if (descriptor >= 0) {
            ::flock(descriptor, LOCK_UN); // the held mark stays: the next owner sees it
        }
        owner = std::thread::id();
    }
    released.notify_one();
}

std::mutex& NamesLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::weak_ptr<MutexObject>>& Names() {
    static std::map<std::string, std::weak_ptr<MutexObject>> names;
    return names;
}

// Set by IsolateNamedMutexes: the process (and the children it forks) keeps its names to itself.
std::string& IsolatedFolder() {
    static std::string folder;
    return folder;
}

// A folder of the user's own: created when missing, refused when someone else's or a link.
bool IsOwnFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat status;
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::getuid();
}

// $XDG_RUNTIME_DIR, else a private folder of the user's own in /tmp; empty when neither
// can be used.
std::string SharedRuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return runtime;
    }
    std::string folder = "/tmp/tagwright-" + std::to_string(::getuid());
    return IsOwnFolder(folder) ? folder : std::string();
}

std::string RuntimeFolder() {
    if (!IsolatedFolder().empty()) {
        return IsOwnFolder(IsolatedFolder()) ? IsolatedFolder() : std::string();
    }
    return SharedRuntimeFolder();
}

std::string LockFileName(const std::string& name) {
    std::string file = "tagwright-mutex-";
    for (char c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.';
        file += plain ? c : '_';
    }
    return file + ".lock";
}

} // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES /*security*/, BOOL initialOwner, LPCSTR name) {
    substitute::LogCall("CreateMutexA", name == nullptr ? std::string("(unnamed)") : name);
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("CreateMutexA", &error)) {
        SetLastError(error);
        return nullptr;
    }
    std::shared_ptr<MutexObject> mutex;
    bool existed = false;
    if (name == nullptr) {
        mutex = std::make_shared<MutexObject>();
    } else {
        if (std::char_traits<char>::length(name) > kMaxNameLength) {
            SetLastError(kErrorFilenameTooLong);
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(NamesLock());
        mutex = Names()[name].lock();
        existed = mutex != nullptr;
        if (!existed) {
            std::string folder = RuntimeFolder();
            if (folder.empty()) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            std::string path = folder + "/" + LockFileName(name);
            int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (descriptor < 0) {
                SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
                return nullptr;
            }
            mutex = std::make_shared<MutexObject>();
            mutex->name = name;
            mutex->descriptor = descriptor;
            Names()[name] = mutex;
        }
    }
    auto handle = std::make_shared<MutexHandle>();
    handle->mutex = mutex;
    handle->label = std::string("mutex:") + (name == nullptr ? "(unnamed)" : name);
    HANDLE result = substitute::AddHandle(handle);
    // Ownership is granted only when it is free now: the creator never waits here.
    if (initialOwner) {
        mutex->Acquire(0);
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return result;
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto handle = substitute::FindHandleAs<MutexHandle>(mutex);
    substitute::LogCall("ReleaseMutex", handle == nullptr ? std::string("invalid") : handle->label);
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("ReleaseMutex", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!handle->mutex->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

namespace substitute {

std::string NamedObjectFolder() {
    return RuntimeFolder();
}

void IsolateNamedMutexes() {
    std::string shared = SharedRuntimeFolder();
    if (shared.empty()) {
        return;
    }
    IsolatedFolder() = shared + "/process-" + std::to_string(::getpid());
    static pid_t owner = ::getpid();
    // The folder goes with the process that made it; its forked children leave it be.
    std::atexit([] {
        if (::getpid() != owner) {
            return;
        }
        std::error_code ignored;
        std::filesystem::remove_all(IsolatedFolder(), ignored);
    });
}

std::string NamedMutexLockFile(const std::string& name) {
    std::string folder = RuntimeFolder();
    return folder.empty() ? std::string() : folder + "/" + LockFileName(name);
}

} // namespace substitute
