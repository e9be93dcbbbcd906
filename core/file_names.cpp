// Converting the input file's name between the ANSI code page, wide text and UTF-8.
#include "core/file_names.h"

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
