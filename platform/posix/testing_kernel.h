// Test hooks of the substitute kernel calls: threads.
#pragma once

#include "platform/win32.h"

namespace substitute {

// Threads started with CreateThread run `routine` instead of their own (nullptr: their own).
void SubstituteThreadRoutine(LPTHREAD_START_ROUTINE routine);

// Waits until every thread started with CreateThread has ended; false after the time-out.
bool JoinThreads(unsigned timeoutMilliseconds = 10000);

} // namespace substitute
