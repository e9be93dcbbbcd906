// Test hooks of the substitute FormatMessageA: texts taken away.
#pragma once

#include "platform/win32.h"

namespace substitute {

// FormatMessageA gives no text for this code from now until Reset (as Wine has none for a
// few socket codes): it fails with ERROR_MR_MID_NOT_FOUND, as for a code it never knew.
void RemoveSystemText(DWORD code);

} // namespace substitute
