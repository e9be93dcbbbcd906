// The input file's name and the texts shown with it in the forms the program needs: the
// ANSI or UTF-8 text of the path buffer, and UTF-8 for the result file and the job log.
#pragma once

#include "core/job_protocol.h"

// Copies text (a path or a message), ANSI or already UTF-8 as isUtf8 says, into out
// (outSize bytes) as UTF-8. False, with out holding "", when it cannot be converted or does
// not fit.
bool TextAsUtf8(const char* text, bool isUtf8, char* out, int outSize);

// Copies ANSI text (a string-table text, the system's error text, a folder from the
// registry) into out (outSize bytes) in the encoding of the path buffer: as it is, or as
// UTF-8 when g_jobOptions.utf8Path. False, with out holding "", when it cannot be converted
// or does not fit.
bool AnsiTextInPathEncoding(const char* text, char* out, int outSize);

// Opens the input file named by path (in the path buffer's encoding) for reading, shared
// with readers: CreateFileA for an ANSI path, CreateFileW for a UTF-8 one. INVALID_HANDLE_VALUE
// with the system's code when it cannot be opened.
HANDLE OpenInputByName(const char* path);

// Deletes the input file named by path: DeleteFileA or DeleteFileW, as OpenInputByName.
BOOL DeleteInputByName(const char* path);
