// Test hooks of the substitute layer: registry.
#pragma once

#include "platform/win32.h"

namespace wintest {} // namespace wintest
