// The input file's name and the texts shown with it in the forms the program needs: the
// ANSI or UTF-8 text of the path buffer, and UTF-8 for the result file and the job log.
#pragma once

#include "core/job_protocol.h"

// Copies text (a path or a message), ANSI or already UTF-8 as isUtf8 says, into out
// (outSize bytes) as UTF-8. False, with out holding "", when it cannot be converted or does
// not fit.
bool TextAsUtf8(const char* text, bool isUtf8, char* out, int outSize);
