// Test hooks of the substitute layer: winsock.
#pragma once

#include "platform/win32.h"

namespace wintest {} // namespace wintest
