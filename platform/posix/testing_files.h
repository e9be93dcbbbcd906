// Test hooks of the substitute layer: files.
#pragma once

#include "platform/win32.h"

namespace wintest {} // namespace wintest
