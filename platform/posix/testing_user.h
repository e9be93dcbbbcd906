// Test hooks of the substitute layer: user.
#pragma once

#include "platform/win32.h"

namespace wintest {} // namespace wintest
