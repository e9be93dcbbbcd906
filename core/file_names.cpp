// Converting the input file's name between the ANSI code page, wide text and UTF-8, and
// reaching the file by a name in either encoding.
#include "core/file_names.h"

#include "core/job_request.h"

#include <cstring>

namespace {

// The UTF-8 path as wide text in wide (kPathBufferSize units); false, with the system's
// code, when it is no UTF-8 or too long.
bool WidePath(const char* path, WCHAR* wide) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, kPathBufferSize) != 0;
}

} // namespace

bool TextAsUtf8(const char* text, bool isUtf8, char* out, int outSize) {
    if (outSize <= 0) {
        return false;
    }
    out[0] = '\0';
    if (text[0] == '\0') {
        return true;
    }
    WCHAR wide[kPathBufferSize];
    int wideLength =
        MultiByteToWideChar(isUtf8 ? CP_UTF8 : CP_ACP, 0, text, -1, wide, kPathBufferSize);
    if (wideLength == 0) {
        return false;
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, outSize, nullptr, nullptr);
    if (length == 0) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool AnsiTextInPathEncoding(const char* text, char* out, int outSize) {
    if (g_jobOptions.utf8Path) {
        return TextAsUtf8(text, false, out, outSize);
    }
    if (outSize <= 0) {
        return false;
    }
    std::size_t length = std::strlen(text);
    if (length >= static_cast<std::size_t>(outSize)) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, text, length + 1);
    return true;
}

HANDLE OpenInputByName(const char* path) {
    if (!g_jobOptions.utf8Path) {
        return CreateFileA(path, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    WCHAR wide[kPathBufferSize];
    if (!WidePath(path, wide)) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL DeleteInputByName(const char* path) {
    if (!g_jobOptions.utf8Path) {
        return DeleteFileA(path);
    }
    WCHAR wide[kPathBufferSize];
    if (!WidePath(path, wide)) {
        return FALSE;
    }
    return DeleteFileW(wide);
}
