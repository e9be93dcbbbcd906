// Test hooks of the substitute kernel calls: threads, the process's command line, environment
// values and the wall clock.
//
// GetEnvironmentVariableW reads the values set here before the process's own environment;
// GetSystemTime and GetLocalTime read the system clock and time zone unless a test fixed
// them. Reset forgets both.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>

namespace substitute {

// Threads started with CreateThread run `routine` instead of their own (nullptr: their own).
void SubstituteThreadRoutine(LPTHREAD_START_ROUTINE routine);

// Waits until every thread started with CreateThread has ended; false after the time-out.
bool JoinThreads(unsigned timeoutMilliseconds = 10000);

// The user's SID as ConvertSidToStringSidA gives it for the process token's user.
std::string UserSidText();

// What GetCommandLineW returns from now until Reset (then L"tagwright.exe").
void SetCommandLineW(const std::wstring& commandLine);
// Sets an environment value for GetEnvironmentVariableW (nullptr: the variable is absent).
void SetEnvironmentValue(const std::string& name, const char* value);

// From now until Reset, the wall clock stands at utcSeconds (since 1970) with the local
// time offsetMinutes ahead of UTC (negative: behind).
void FixWallClock(std::int64_t utcSeconds, int offsetMinutes);

} // namespace substitute
