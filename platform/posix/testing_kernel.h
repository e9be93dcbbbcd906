// Test hooks of the substitute kernel calls: threads and the process's command line.
#pragma once

#include "platform/win32.h"

#include <string>

namespace substitute {

// Threads started with CreateThread run `routine` instead of their own (nullptr: their own).
void SubstituteThreadRoutine(LPTHREAD_START_ROUTINE routine);

// Waits until every thread started with CreateThread has ended; false after the time-out.
bool JoinThreads(unsigned timeoutMilliseconds = 10000);

// What GetCommandLineW returns from now until Reset (then L"tagwright.exe").
void SetCommandLineW(const std::wstring& commandLine);

} // namespace substitute
