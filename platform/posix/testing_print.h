// Test hooks of the substitute layer: print.
#pragma once

#include "platform/win32.h"

namespace wintest {} // namespace wintest
