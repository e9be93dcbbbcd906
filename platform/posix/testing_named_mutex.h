// Test hooks of the substitute named mutex: its lock files.
#pragma once

#include "platform/win32.h"

#include <string>

namespace substitute {

// From now on this process, and the children it forks, have named mutexes of their own,
// shared with no other process: test programs run side by side and must not take each
// other's "ipMutex". Call before the first named mutex is created.
void IsolateNamedMutexes();

// The lock file that stands for the named mutex `name` (it persists across processes).
std::string NamedMutexLockFile(const std::string& name);

} // namespace substitute
