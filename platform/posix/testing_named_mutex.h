// Test hooks of the substitute named mutex: its lock files.
#pragma once

#include "platform/win32.h"

#include <string>

namespace substitute {

// The lock file that stands for the named mutex `name` (it persists across processes).
std::string NamedMutexLockFile(const std::string& name);

} // namespace substitute
