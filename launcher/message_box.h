// Messages in the encoding of the path buffer: composed from ANSI formats and texts with a
// path that may be UTF-8, and shown so that the file's name reads as the user wrote it.
#pragma once

#include "core/job_protocol.h"

// Room for an ANSI text of up to a path buffer's size in the path's encoding: a character of
// an ANSI code page takes at most 3 bytes in UTF-8.
constexpr int kConvertedTextSize = 3 * kPathBufferSize;

// Formats into message (size bytes; longer text is cut, never inside a character) with
// ansiFormat, an ANSI string-table or literal format, in the encoding of the path buffer
// (UTF-8 when g_jobOptions.utf8Path). Text arguments must be in that encoding already: the
// path as it is, ANSI texts through AnsiTextInPathEncoding.
void ComposeInPathEncoding(char* message, int size, const char* ansiFormat, ...);

// Shows text (in the encoding of the path buffer) in a message box captioned caption (ANSI),
// without owner or icon, with an OK button: MessageBoxA for an ANSI path, MessageBoxW for a
// UTF-8 one.
void ShowMessageInPathEncoding(const char* text, const char* caption);
