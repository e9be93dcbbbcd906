// Composing and showing messages in the encoding of the path buffer.
#include "launcher/message_box.h"

#include "core/file_names.h"
#include "core/job_request.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// A UTF-8 text cut at its buffer's end may end inside a character: that part is dropped.
void DropCutCharacter(char* text) {
    std::size_t length = std::strlen(text);
    std::size_t lead = length;
    while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) {
        --lead;
    }
    if (lead == 0) {
        return;
    }
    auto first = static_cast<unsigned char>(text[lead - 1]);
    std::size_t needed = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    if (length - (lead - 1) < needed) {
        text[lead - 1] = '\0';
    }
}

} // namespace

void ComposeInPathEncoding(char* message, int size, const char* ansiFormat, ...) {
    if (size <= 0) {
        return;
    }
    char format[kConvertedTextSize];
    AnsiTextInPathEncoding(ansiFormat, format, kConvertedTextSize);
    va_list arguments;
    va_start(arguments, ansiFormat);
    int written = vsnprintf(message, static_cast<std::size_t>(size), format, arguments);
    va_end(arguments);
    if (written < 0) {
        message[0] = '\0';
    } else if (written >= size && g_jobOptions.utf8Path) {
        DropCutCharacter(message);
    }
}

void ShowMessageInPathEncoding(const char* text, const char* caption) {
    if (!g_jobOptions.utf8Path) {
        MessageBoxA(nullptr, text, caption, MB_OK);
        return;
    }
    WCHAR wideText[kTextBufferSize];
    WCHAR wideCaption[kTextBufferSize];
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wideText, kTextBufferSize) == 0 ||
        MultiByteToWideChar(CP_ACP, 0, caption, -1, wideCaption, kTextBufferSize) == 0) {
        // Better a box with a garbled name than none at all.
        MessageBoxA(nullptr, text, caption, MB_OK);
        return;
    }
    MessageBoxW(nullptr, wideText, wideCaption, MB_OK);
}
