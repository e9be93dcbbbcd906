// The program's own short texts for the error codes its paths can meet, shown when the
// system has no message text for a code.
#pragma once

#include "platform/win32.h"

// The program's own text for `code`, or nullptr when it has none.
const char* FallbackErrorText(DWORD code);
