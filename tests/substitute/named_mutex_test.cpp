// The named mutex: recursion per thread, exclusion between handles, threads and processes,
// and abandonment when a holder ends without releasing.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr DWORD kErrorNotOwner = 288;
constexpr DWORD kBoundedWait = 10000; // milliseconds: no test waits for ever

class NamedMutexTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        static int serial = 0;
        name = "tagwright-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        ::unlink(substitute::NamedMutexLockFile(name).c_str());
    }
    std::string name;
};

// A forked process that takes the mutex, reports it, and then releases it or dies holding it
// when the test tells it to. Every wait on either side is bounded.
struct Holder {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
};

bool ReadByte(int descriptor, char* byte) {
    pollfd entry{descriptor, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(kBoundedWait)) == 1 &&
           ::read(descriptor, byte, 1) == 1;
}

Holder StartHolder(const std::string& name) {
    int down[2];
    int up[2];
    Holder holder;
    if (::pipe(down) != 0 || ::pipe(up) != 0) {
        return holder;
    }
    holder.pid = ::fork();
    if (holder.pid == 0) {
        ::close(down[1]);
        ::close(up[0]);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
        DWORD taken = WaitForSingleObject(mutex, kBoundedWait);
        char report = taken == WAIT_OBJECT_0 ? 'o' : 'x';
        char order = 0;
        if (::write(up[1], &report, 1) != 1 || !ReadByte(down[0], &order)) {
            ::_exit(2);
        }
        if (order == 'r') {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
        ::_exit(0); // 'd': die holding it
    }
    ::close(down[0]);
    ::close(up[1]);
    holder.toChild = down[1];
    holder.fromChild = up[0];
    return holder;
}

// Waits for the holder to end; kills it when it does not end in time.
int FinishHolder(Holder& holder) {
    int status = -1;
    for (int i = 0; i < 1000; ++i) {
        if (::waitpid(holder.pid, &status, WNOHANG) == holder.pid) {
            ::close(holder.toChild);
            ::close(holder.fromChild);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(holder.pid, SIGKILL);
    ::waitpid(holder.pid, &status, 0);
    ::close(holder.toChild);
    ::close(holder.fromChild);
    return -1;
}

TEST_F(NamedMutexTest, OwnerTakesItRecursivelyAndReleasesAsOftenAsTaken) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), kErrorNotOwner);
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(NamedMutexTest, CallsAreLoggedAndScriptedFailuresHonoured) {
    substitute::FailNext("CreateMutexA", ERROR_ACCESS_DENIED);
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    WaitForSingleObject(mutex, INFINITE);
    substitute::FailNext("ReleaseMutex", ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(second);
    CloseHandle(mutex);
    std::string label = "mutex:" + name;
    std::vector<std::string> expected = {
        "CreateMutexA " + name,         "CreateMutexA " + name,  "CreateMutexA " + name,
        "WaitForSingleObject " + label, "ReleaseMutex " + label, "ReleaseMutex " + label,
        "ReleaseMutex invalid",         "CloseHandle " + label,  "CloseHandle " + label};
    EXPECT_EQ(substitute::CallLog(), expected);
}

TEST_F(NamedMutexTest, TwoHandlesInOneProcessExcludeEachOtherAcrossThreads) {
    HANDLE first = CreateMutexA(nullptr, FALSE, name.c_str());
    HANDLE second = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_EQ(WaitForSingleObject(first, INFINITE), WAIT_OBJECT_0);
    // The owning thread may take it again through the other handle: it is one mutex.
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(second));

    auto busy = std::async(std::launch::async, [&] {
        DWORD attempt = WaitForSingleObject(second, 0);
        SetLastError(0xdeadbeef);
        BOOL released = ReleaseMutex(second);
        return std::make_pair(attempt, std::make_pair(released, GetLastError()));
    });
    auto result = busy.get();
    EXPECT_EQ(result.first, WAIT_TIMEOUT);
    EXPECT_FALSE(result.second.first); // a thread that does not own it cannot release it
    EXPECT_EQ(result.second.second, kErrorNotOwner);

    std::atomic<bool> taken{false};
    auto waiter = std::async(std::launch::async, [&] {
        DWORD got = WaitForSingleObject(second, kBoundedWait);
        taken = true;
        ReleaseMutex(second);
        return got;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(taken.load()) << "the waiter took a mutex that this thread still owns";
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
    CloseHandle(first);
    CloseHandle(second);
}

TEST_F(NamedMutexTest, ThreadThatEndsHoldingItAbandonsIt) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    std::thread([mutex] { EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, kBoundedWait), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); // released properly this time
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(NamedMutexTest, AnotherProcessHoldsItUntilItReleases) {
    Holder holder = StartHolder(name);
    ASSERT_GT(holder.pid, 0);
    char report = 0;
    ASSERT_TRUE(ReadByte(holder.fromChild, &report));
    ASSERT_EQ(report, 'o');

    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
    std::atomic<bool> taken{false};
    auto waiter = std::async(std::launch::async, [&] {
        DWORD got = WaitForSingleObject(mutex, INFINITE);
        taken = true;
        return got;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(taken.load()) << "taken while the other process held it";
    char order = 'r';
    ASSERT_EQ(::write(holder.toChild, &order, 1), 1);
    EXPECT_EQ(FinishHolder(holder), 0);
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kBoundedWait)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
    // The waiter thread has ended owning it: this thread finds it abandoned.
    EXPECT_EQ(WaitForSingleObject(mutex, kBoundedWait), WAIT_ABANDONED);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// A wait with a time-out runs on GetTickCount's clock: under the virtual clock a mutex held
// by another process or thread times out after exactly its time-out of virtual time, in a
// bounded number of short real looks; one released during the wait is taken.
TEST_F(NamedMutexTest, TimedWaitRunsOnTheVirtualClock) {
    substitute::UseVirtualClock(true);
    Holder holder = StartHolder(name);
    ASSERT_GT(holder.pid, 0);
    char report = 0;
    ASSERT_TRUE(ReadByte(holder.fromChild, &report));
    ASSERT_EQ(report, 'o');
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    for (DWORD timeout : {1u, 300u, 60000u, 86400000u}) {
        SCOPED_TRACE(timeout);
        DWORD before = GetTickCount();
        auto realStart = std::chrono::steady_clock::now();
        EXPECT_EQ(WaitForSingleObject(mutex, timeout), WAIT_TIMEOUT);
        EXPECT_EQ(GetTickCount() - before, timeout);
        EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(5));
    }
    char order = 'r';
    ASSERT_EQ(::write(holder.toChild, &order, 1), 1);
    EXPECT_EQ(FinishHolder(holder), 0);
    EXPECT_EQ(WaitForSingleObject(mutex, 300), WAIT_OBJECT_0);

    // Another thread of this process waits while this one holds it, then gets it.
    std::atomic<bool> release{false};
    auto waiter = std::async(std::launch::async, [&] {
        DWORD first = WaitForSingleObject(mutex, 1000);
        release = true;
        DWORD second = WaitForSingleObject(mutex, 0xFFFFFFF0u);
        if (second == WAIT_OBJECT_0) {
            ReleaseMutex(mutex);
        }
        return std::make_pair(first, second);
    });
    for (int i = 0; i < 1000 && !release.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ReleaseMutex(mutex);
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kBoundedWait)), std::future_status::ready);
    auto results = waiter.get();
    EXPECT_EQ(results.first, WAIT_TIMEOUT);
    EXPECT_EQ(results.second, WAIT_OBJECT_0);
    CloseHandle(mutex);
}

TEST_F(NamedMutexTest, ProcessThatDiesHoldingItPassesItOnAbandoned) {
    Holder holder = StartHolder(name);
    ASSERT_GT(holder.pid, 0);
    char report = 0;
    ASSERT_TRUE(ReadByte(holder.fromChild, &report));
    ASSERT_EQ(report, 'o');
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    char order = 'd';
    ASSERT_EQ(::write(holder.toChild, &order, 1), 1);
    EXPECT_EQ(FinishHolder(holder), 0);
    EXPECT_EQ(WaitForSingleObject(mutex, kBoundedWait), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(NamedMutexTest, InitialOwnerOwnsAFreeMutexAtOnce) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    auto other = std::async(std::launch::async, [&] { return WaitForSingleObject(mutex, 0); });
    EXPECT_EQ(other.get(), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(NamedMutexTest, UnnamedMutexesAreSeparate) {
    HANDLE first = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE second = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    auto other = std::async(std::launch::async, [&] {
        DWORD firstResult = WaitForSingleObject(first, 0);
        DWORD secondResult = WaitForSingleObject(second, 0);
        ReleaseMutex(second);
        return std::make_pair(firstResult, secondResult);
    });
    auto results = other.get();
    EXPECT_EQ(results.first, WAIT_TIMEOUT);
    EXPECT_EQ(results.second, WAIT_OBJECT_0);
    ReleaseMutex(first);
    CloseHandle(first);
    CloseHandle(second);
}

} // namespace
