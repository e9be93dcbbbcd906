// Passthrough encoder: cuts label text into commands and wraps each in "${" ... "}$".
//
// Tokens are located by an index into the input rather than by moving the rest of the text
// after each one, and the output is sized exactly in a first pass and filled through a
// cursor, so the work stays linear in the input whatever the mix of tokens.
#include "transport/passthrough_encoder.h"

#include "core/text_basics.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kOpenMarker[2] = {'$', '{'};
constexpr char kCloseMarker[2] = {'}', '$'};
constexpr size_t kMarkerBytes = sizeof(kOpenMarker) + sizeof(kCloseMarker);
// "P", the lowered quantity (at most ten characters), a line feed, and room to spare.
constexpr size_t kAdjustedTokenSize = 16;

struct TokenCut {
    size_t length; // characters of the text the token covers
    bool last;     // nothing, or a single discarded character, follows it
    bool adjusted; // the final print command, rewritten with its quantity lowered
    char rewritten[kAdjustedTokenSize];
    size_t rewrittenLength;
};

// The print quantity read as atoi reads it (white space, an optional sign, decimal digits up
// to the first other character, saturating at the int limits), never beyond the token.
int ReadQuantity(const char* text, size_t length) {
    size_t i = 0;
    while (i < length && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    long long value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= limit) {
            value = value * 10 + (text[i] - '0');
        }
    }
    if (negative) {
        return value >= limit ? INT_MIN : static_cast<int>(-value);
    }
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// A ZPL II command runs from its "^" to the next "^" or "~"; anything else runs through its
// line feed, or to the end of the text.
size_t TokenLength(const char* text, size_t remaining) {
    if (text[0] == '^') {
        size_t length = 1;
        while (length < remaining && text[length] != '^' && text[length] != '~') {
            ++length;
        }
        return length;
    }
    if (text[0] == '\n') {
        return 1;
    }
    const void* lineFeed = std::memchr(text, '\n', remaining);
    if (lineFeed == nullptr) {
        return remaining;
    }
    return static_cast<size_t>(static_cast<const char*>(lineFeed) - text) + 1;
}

void CutNext(const char* text, size_t remaining, TokenCut* cut) {
    cut->length = TokenLength(text, remaining);
    cut->last = remaining - cut->length <= 1;
    cut->adjusted = cut->last && text[0] == 'P' && cut->length > 1;
    cut->rewrittenLength = 0;
    if (!cut->adjusted) {
        return;
    }
    int quantity = ReadQuantity(text + 1, cut->length - 1);
    int lowered = quantity >= 2 ? quantity - 1 : -1;
    int written = std::snprintf(cut->rewritten, sizeof(cut->rewritten), "P%d\n", lowered);
    cut->rewrittenLength = written > 0 ? static_cast<size_t>(written) : 0;
}

} // namespace

size_t PassthroughLength(const char* text) {
    const size_t textLength = std::strlen(text);
    // Every token adds four marker bytes; one-character tokens give five bytes per input
    // byte, and the rewritten print command is at most twelve.
    if (textLength > (static_cast<size_t>(-1) - 16) / 5) {
        return static_cast<size_t>(-1);
    }
    TokenCut cut;
    size_t outputLength = 0;
    for (size_t position = 0; position < textLength;) {
        CutNext(text + position, textLength - position, &cut);
        outputLength += kMarkerBytes + (cut.adjusted ? cut.rewrittenLength : cut.length);
        if (cut.last) {
            break;
        }
        position += cut.length;
    }
    return outputLength;
}

char* EncodePassthrough(const char* text, size_t* length) {
    *length = 0;
    const size_t textLength = std::strlen(text);
    const size_t outputLength = PassthroughLength(text);
    if (outputLength == static_cast<size_t>(-1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    TokenCut cut;

    char* output =
        static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, outputLength + 1));
    if (output == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    char* cursor = output;
    for (size_t position = 0; position < textLength;) {
        CutNext(text + position, textLength - position, &cut);
        std::memcpy(cursor, kOpenMarker, sizeof(kOpenMarker));
        cursor += sizeof(kOpenMarker);
        if (cut.adjusted) {
            std::memcpy(cursor, cut.rewritten, cut.rewrittenLength);
            cursor += cut.rewrittenLength;
        } else {
            std::memcpy(cursor, text + position, cut.length);
            cursor += cut.length;
        }
        std::memcpy(cursor, kCloseMarker, sizeof(kCloseMarker));
        cursor += sizeof(kCloseMarker);
        if (cut.last) {
            break;
        }
        position += cut.length;
    }
    *length = outputLength;
    return output;
}

void ReleasePassthrough(char* output) {
    if (output != nullptr) {
        HeapFree(GetProcessHeap(), 0, output);
    }
}

std::ptrdiff_t CutText(char* text, std::ptrdiff_t position, std::ptrdiff_t count, char* token) {
    if (count > 0) {
        std::memcpy(token, text + position - 1, static_cast<size_t>(count));
        token[count] = '\0';
        return count;
    }
    char* rest = text + position - 1;
    std::memmove(text, rest, std::strlen(rest) + 1);
    return 0;
}

std::ptrdiff_t TakeToken(char* text, std::ptrdiff_t position, std::ptrdiff_t count, char* token,
                         std::ptrdiff_t extra) {
    CutText(text, position, count, token);
    if (static_cast<std::ptrdiff_t>(std::strlen(text)) > count + 1) {
        CutText(text, count + extra + 1, 0, nullptr);
    } else {
        text[0] = '\0';
    }
    return count;
}
