// Text helpers every folder of the program uses: a string-table text that is empty when
// missing, and the white-space test of the "C" locale.
#pragma once

#include "core/job_protocol.h"

// Loads string `stringId` of the program's module into `text` (`size` bytes, always
// terminated); a missing string leaves the text empty.
void LoadTextOrEmpty(UINT stringId, char* text, int size);

// True for the six white-space characters of the "C" locale; bytes above 127 are not blank.
bool IsBlank(int c);
