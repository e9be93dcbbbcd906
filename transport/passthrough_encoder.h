// Passthrough encoder: label text cut into commands, each wrapped in the printer driver's
// "${" ... "}$" markers, with the final print quantity lowered by one.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// Encodes `text` up to its first NUL. Returns a NUL-terminated block of the process heap,
// its length (without the NUL) in *length; the caller releases it with ReleasePassthrough.
// Returns null, with the last error set, when the memory cannot be obtained.
char* EncodePassthrough(const char* text, size_t* length);
void ReleasePassthrough(char* output);

// The length EncodePassthrough gives for `text`, found without taking any memory; the
// largest size_t when it would not fit in memory at all.
size_t PassthroughLength(const char* text);

// Substring step of the token cutter; positions are 1-based. With count > 0: copies count
// characters of text, from position on, into token and terminates token; returns count.
// With count <= 0: removes the first position - 1 characters of text, moving the rest and
// its NUL to the front (position must not exceed the text's length + 1); returns 0.
std::ptrdiff_t CutText(char* text, std::ptrdiff_t position, std::ptrdiff_t count, char* token);

// Copies count characters from position into token, then takes the first count + extra
// characters off the front of text; when text holds at most count + 1 characters it is
// emptied instead, so a single character left behind a token is discarded. Returns count.
std::ptrdiff_t TakeToken(char* text, std::ptrdiff_t position, std::ptrdiff_t count, char* token,
                         std::ptrdiff_t extra);
