// Internal to the substitute layer: names and texts between the program's code pages and the
// UTF-8 of the POSIX side. A file's POSIX name is the UTF-8 of its wide name, so that its
// ANSI and its wide name reach the same file, as on Windows.
#pragma once

#include "platform/win32.h"

#include <string>

namespace substitute {

// The UTF-8 form of ANSI (ISO 8859-1) text.
std::string Utf8FromAnsi(const std::string& text);
// The UTF-8 form of NUL-terminated wide text ("" for nullptr).
std::string Utf8FromWide(LPCWSTR text);

} // namespace substitute
