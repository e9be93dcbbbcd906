// Internal to the substitute layer, its shared machinery: handle and window tables, call log,
// scripted failures, virtual clock, heap blocks and reset hooks. Only the layer (and its own tests)
// include this.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <memory>
#include <string>

namespace substitute {

// A kernel object behind a HANDLE (file, device, thread, mutex, heap block ...).
struct KernelObject {
    virtual ~KernelObject() = default;
    // "kind:name", as shown in the call log and in the list of open handles.
    std::string label;
    // Wait for the object to be signalled; WAIT_FAILED for objects that cannot be waited on.
    virtual DWORD Wait(DWORD /*milliseconds*/) { return WAIT_FAILED; }
};

HANDLE AddHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);
template <class T> std::shared_ptr<T> FindHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(FindHandle(handle));
}
// Removes the handle from the table; the object dies with its last reference.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

// A window behind an HWND. Deliver runs on the sending thread; a window that belongs to
// another thread marshals the call to it and waits, as SendMessageA does across threads.
struct WindowObject {
    virtual ~WindowObject() = default;
    std::string label;
    virtual LRESULT Deliver(HWND self, UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

HWND AddWindow(std::shared_ptr<WindowObject> window);
std::shared_ptr<WindowObject> FindWindow(HWND window);
template <class T> std::shared_ptr<T> FindWindowAs(HWND window) {
    return std::dynamic_pointer_cast<T>(FindWindow(window));
}
void RemoveWindow(HWND window);

// Appends "call detail" to the call log (thread-safe).
void LogCall(const std::string& call, const std::string& detail = std::string());

// True when a failure was scripted for this call: the error is then the code to report.
// Every substitute function consults it under its own name, which also records the call as
// a failure point while substitute::RecordFailurePoints is on.
bool TakeScriptedFailure(const std::string& call, DWORD* error);

// Under the virtual clock: moves GetTickCount on by a wait that did not really happen.
void AdvanceVirtualClock(DWORD milliseconds);
// Records a pause of Sleep; true when the virtual clock took it, and the caller need not wait.
bool RecordSleep(DWORD milliseconds);
// The virtual clock's count; false, and *now untouched, while it is off.
bool VirtualTickCount(DWORD* now);

// The wait of an object whose signal is polled: WAIT_OBJECT_0 once signalled() holds, checked
// every `pause`; WAIT_TIMEOUT after `milliseconds` (at once under the virtual clock, which moves
// on by the whole wait instead).
DWORD PollForSignal(DWORD milliseconds, DWORD pauseMilliseconds,
                    const std::function<bool()>& signalled);

// The per-user folder that holds the files behind named objects (mutexes, events), shared by
// every process of the user unless IsolateNamedMutexes gave this one its own; "" when none.
std::string NamedObjectFolder();

// Waits until one of the objects is signalled (WAIT_OBJECT_0 + its index) or inputReady, when
// given, says yes (WAIT_OBJECT_0 + count). Under the virtual clock a wait that finds nothing
// moves the clock on by its time-out at once.
DWORD WaitForAnyObject(DWORD count, const HANDLE* handles, DWORD milliseconds,
                       const std::function<bool()>& inputReady);

// Blocks of HeapAlloc with their sizes, so that OpenHandles shows what was not released.
void AddHeapBlock(void* block, std::size_t bytes);
// False when `block` is not one of them.
bool RemoveHeapBlock(void* block, std::size_t* bytes);

// Registers a function that substitute::Reset runs to restore an area's initial state.
void AddResetHook(std::function<void()> hook);

} // namespace substitute
