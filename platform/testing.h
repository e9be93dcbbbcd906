// Test hooks of the substitute layer: its machinery (call log, scripted failures, virtual
// clock, open handles, test windows) here, and each subject's in its testing_<subject>.h.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

namespace substitute {

// Restores every area of the substitute layer to its initial state.
void Reset();

std::vector<std::string> CallLog();
void ClearCallLog();

// The next `times` calls of `call` (a function name such as "socket") fail with `error`,
// after `skip` calls that succeed.
void FailNext(const std::string& call, DWORD error, int times = 1, int skip = 0);

// While on, every call that consults its scripted failures is recorded by name, in order.
// An entry named "ReadFile" with k entries of that name before it is the call that
// FailNext("ReadFile", error, 1, k) fails. Off and emptied by Reset.
void RecordFailurePoints(bool on);
std::vector<std::string> FailurePoints();

// With the virtual clock on, Sleep records its argument and returns at once.
void UseVirtualClock(bool on);
std::vector<DWORD> Sleeps();

// Labels ("kind:name") of the handles that are open now.
std::vector<std::string> OpenHandles();

// A window that records every message sent to it, from any thread, and returns 0. With
// `logAs`, each message also enters the call log as the text logAs makes of it, in order
// with the calls (a stand-in progress window whose reports are checked among the releases).
struct RecordedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
HWND CreateRecordingWindow(std::function<std::string(const RecordedMessage&)> logAs = nullptr);
std::vector<RecordedMessage> RecordedMessages(HWND window);

// Ends a window made by CreateRecordingWindow; messages sent to it afterwards find no window.
void DestroyTestWindow(HWND window);

} // namespace substitute

#include "platform/posix/testing_kernel.h"
#include "platform/posix/testing_named_mutex.h"
#include "platform/posix/testing_format_message.h"
#include "platform/posix/testing_user.h"
#include "platform/posix/testing_registry.h"
#include "platform/posix/testing_files.h"
#include "platform/posix/testing_comm.h"
#include "platform/posix/testing_winsock.h"
#include "platform/posix/testing_print.h"
#include "platform/posix/testing_shell.h"
