// Substitute code pages: MultiByteToWideChar and WideCharToMultiByte for the ANSI code page
// (ISO 8859-1 here) and UTF-8, with the SDK's sizing, length and error rules.
#include "platform/posix/code_pages.h"
#include "platform/posix/machinery.h"

#include <locale>
#include <stdexcept>
#include <cstring>
#include <string>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t code) {
    return code >= 0xD800 && code <= 0xDFFF;
}

bool DecodeUtf8(const unsigned char* text, std::size_t length, bool strict, std::u32string* out) {
    std::size_t at = 0;
    while (at < length) {
        unsigned char lead = text[at];
        int extra = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            extra = -1;
        }
        bool valid = extra >= 0 && at + static_cast<std::size_t>(extra) < length;
        for (int i = 1; valid && i <= extra; ++i) {
            unsigned char next = text[at + static_cast<std::size_t>(i)];
            if ((next & 0xC0) != 0x80) {
                valid = false;
            } else {
                code = (code << 6) | (next & 0x3F);
            }
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (valid && (code < kSmallest[static_cast<std::size_t>(extra)] || code > 0x10FFFF ||
                      IsSurrogate(code))) {
            valid = false;
        }
        if (!valid) {
            if (strict) {
                return false;
            }
            out->push_back(kReplacement);
            ++at;
            continue;
        }
        out->push_back(code);
        at += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

void EncodeUtf8(char32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

bool KnownCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_UTF8;
}

// The character at wide[*at] (count units), *at moved past it. A high surrogate followed by
// a low one is one character, as in UTF-16; a lone surrogate stays what it is.
char32_t NextCharacter(LPCWSTR wide, std::size_t count, std::size_t* at) {
    auto code = static_cast<char32_t>(wide[*at]);
    ++*at;
    if (code >= 0xD800 && code <= 0xDBFF && *at < count) {
        auto low = static_cast<char32_t>(wide[*at]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++*at;
            return 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return code;
}

// What is no character (a lone surrogate, a value past U+10FFFF) is U+FFFD in UTF-8.
void EncodeCharacterUtf8(char32_t code, std::string* out) {
    EncodeUtf8(code > 0x10FFFF || IsSurrogate(code) ? kReplacement : code, out);
}

// The look-alikes the system's best fit gives ANSI for characters it cannot spell: the
// full-width forms of ASCII (U+FF01 to U+FF5E) become their ASCII originals.
bool BestFitCharacter(char32_t code, char* fitted) {
    if (code >= 0xFF01 && code <= 0xFF5E) {
        *fitted = static_cast<char>(code - 0xFF01 + 0x21);
        return true;
    }
    return false;
}

} // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                        int wideLength) {
    if (!KnownCodePage(codePage) || text == nullptr || wideLength < 0 ||
        (wide == nullptr && wideLength != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // -1: the text and its NUL, which is counted and converted too.
    std::size_t count = length < 0 ? std::strlen(text) + 1 : static_cast<std::size_t>(length);
    std::u32string decoded;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (codePage == CP_UTF8) {
        if (!DecodeUtf8(bytes, count, (flags & MB_ERR_INVALID_CHARS) != 0, &decoded)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            decoded.push_back(bytes[i]);
        }
    }
    if (decoded.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (wideLength == 0) {
        return static_cast<int>(decoded.size());
    }
    if (decoded.size() > static_cast<std::size_t>(wideLength)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        wide[i] = static_cast<WCHAR>(decoded[i]);
    }
    return static_cast<int>(decoded.size());
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                        int length, LPCSTR defaultChar, BOOL* usedDefaultChar) {
    // As on Windows, UTF-8 takes neither a default character nor its report.
    if (!KnownCodePage(codePage) || wide == nullptr || length < 0 ||
        (text == nullptr && length != 0) ||
        (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t count = 0;
    if (wideLength < 0) {
        while (wide[count] != 0) {
            ++count;
        }
        ++count;
    } else {
        count = static_cast<std::size_t>(wideLength);
    }
    std::string encoded;
    bool usedDefault = false;
    bool bestFit = (flags & WC_NO_BEST_FIT_CHARS) == 0;
    for (std::size_t at = 0; at < count;) {
        char32_t code = NextCharacter(wide, count, &at);
        char fitted = 0;
        if (codePage == CP_UTF8) {
            EncodeCharacterUtf8(code, &encoded);
        } else if (code <= 0xFF) {
            encoded.push_back(static_cast<char>(code));
        } else if (bestFit && BestFitCharacter(code, &fitted)) {
            encoded.push_back(fitted);
        } else {
            usedDefault = true;
            encoded.push_back(defaultChar != nullptr ? defaultChar[0] : '?');
        }
    }
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = usedDefault ? TRUE : FALSE;
    }
    if (encoded.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (length == 0) {
        return static_cast<int>(encoded.size());
    }
    if (encoded.size() > static_cast<std::size_t>(length)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(text, encoded.data(), encoded.size());
    return static_cast<int>(encoded.size());
}

namespace substitute {

std::string Utf8FromAnsi(const std::string& text) {
    std::string encoded;
    for (char c : text) {
        EncodeUtf8(static_cast<unsigned char>(c), &encoded);
    }
    return encoded;
}

std::string Utf8FromWide(LPCWSTR text) {
    std::string encoded;
    std::size_t count = 0;
    while (text != nullptr && text[count] != 0) {
        ++count;
    }
    for (std::size_t at = 0; at < count;) {
        EncodeCharacterUtf8(NextCharacter(text, count, &at), &encoded);
    }
    return encoded;
}

} // namespace substitute

// Upper-casing one unit at a time: the characters the program's names meet map to one unit.
int LCMapStringW(LCID locale, DWORD flags, LPCWSTR source, int sourceLength, LPWSTR target,
                 int targetLength) {
    if (locale != LOCALE_INVARIANT || flags != LCMAP_UPPERCASE || source == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int length = sourceLength;
    if (length < 0) {
        length = 0;
        while (source[length] != 0) {
            ++length;
        }
        ++length;
    }
    if (targetLength == 0) {
        return length;
    }
    if (target == nullptr || targetLength < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // The invariant locale's upper case is Unicode's, whatever the process's locale is.
    static const std::locale unicode = [] {
        try {
            return std::locale("C.UTF-8");
        } catch (const std::runtime_error&) {
            return std::locale::classic();
        }
    }();
    const auto& types = std::use_facet<std::ctype<wchar_t>>(unicode);
    for (int at = 0; at < length; ++at) {
        target[at] = types.toupper(source[at]);
    }
    return length;
}
