// The wide command line: names the ANSI command line could only spell with '?' or look-alikes
// are taken from it in UTF-8.
#include "launcher/wide_command_line.h"

#include "core/file_names.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kResultOption[] = "--result";

struct WideToken {
    LPCWSTR text;
    int length;
};

bool IsSeparator(WCHAR c) {
    return c == L' ' || c == L'\t';
}

bool TokenIs(const WideToken& token, const char* option) {
    int at = 0;
    for (; option[at] != '\0'; ++at) {
        if (at >= token.length || token.text[at] != static_cast<WCHAR>(option[at])) {
            return false;
        }
    }
    return at == token.length;
}

// The options whose value is the next token, whatever it is: the ANSI scan's own list.
bool TakesValue(const WideToken& token) {
    for (int index = 0; ValueOptionAt(index) != nullptr; ++index) {
        if (TokenIs(token, ValueOptionAt(index))) {
            return true;
        }
    }
    return false;
}

// The arguments after the program's name, as the runtime hands them to WinMain: the name
// ends at the first space or control character outside quotes, and the white space after it
// is skipped.
LPCWSTR SkipProgramName(LPCWSTR line) {
    bool quoted = false;
    while (*line > L' ' || (*line != 0 && quoted)) {
        if (*line == L'"') {
            quoted = !quoted;
        }
        ++line;
    }
    while (*line != 0 && *line <= L' ') {
        ++line;
    }
    return line;
}

// The token at *cursor, split as the ANSI scan splits it (a quoted token up to the next
// quote, any other up to one separator); *cursor moves past it.
WideToken NextToken(LPCWSTR* cursor, LPCWSTR end) {
    LPCWSTR at = *cursor;
    if (*at == L'"') {
        LPCWSTR closing = at + 1;
        while (closing < end && *closing != L'"') {
            ++closing;
        }
        *cursor = closing < end ? closing + 1 : end;
        return {at + 1, static_cast<int>(closing - (at + 1))};
    }
    LPCWSTR separator = at;
    while (separator < end && !IsSeparator(*separator)) {
        ++separator;
    }
    *cursor = separator < end ? separator + 1 : end;
    return {at, static_cast<int>(separator - at)};
}

// True when the ANSI code page spells the token exactly, without default characters or
// look-alikes. A code page that takes no such check (UTF-8) spells every name.
bool SpelledByAnsi(const WideToken& token) {
    if (token.length == 0) {
        return true;
    }
    BOOL usedDefault = FALSE;
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, token.text, token.length, nullptr,
                                   0, nullptr, &usedDefault);
    return size == 0 || usedDefault == FALSE;
}

// The token in UTF-8 into out (kPathBufferSize bytes); "" when it does not fit.
void CopyAsUtf8(const WideToken& token, char* out) {
    out[0] = '\0';
    if (token.length == 0) {
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, token.text, token.length, out, kMaxPathLength,
                                   nullptr, nullptr);
    out[size > 0 ? size : 0] = '\0';
}

// A result file's name too long in UTF-8 is refused as the ANSI scan refuses one too long in
// ANSI (a cut name could name another file); the message quotes its start.
void NoteResultTooLong(const WideToken& token, LaunchOptions* options) {
    if (options->problem[0] != '\0') {
        return;
    }
    constexpr int kQuotedUnits = 400; // at most 4 bytes each: the message keeps its end
    char quoted[4 * kQuotedUnits + 1];
    int size = WideCharToMultiByte(CP_UTF8, 0, token.text,
                                   token.length < kQuotedUnits ? token.length : kQuotedUnits,
                                   quoted, 4 * kQuotedUnits, nullptr, nullptr);
    quoted[size > 0 ? size : 0] = '\0';
    snprintf(options->problem, sizeof(options->problem),
             "--result takes the name of the file to write, not \"%s\".", quoted);
}

// ANSI text (size bytes) in UTF-8 in place; "" when it does not fit. A name the wide scan did
// not find where the ANSI scan did (look-alikes can split tokens differently) keeps its ANSI
// spelling this way, and the ANSI scan's problem follows the path's encoding.
void ConvertInPlace(char* text, int size) {
    char converted[kPathBufferSize];
    TextAsUtf8(text, false, converted, size);
    std::memcpy(text, converted, std::strlen(converted) + 1);
}

} // namespace

void ApplyWideCommandLine(LPCWSTR commandLine, LaunchOptions* options) {
    if (commandLine == nullptr) {
        return;
    }
    LPCWSTR cursor = SkipProgramName(commandLine);
    LPCWSTR end = cursor;
    while (*end != 0) {
        ++end;
    }
    WideToken path{nullptr, 0};
    WideToken result{nullptr, 0};
    bool valueNext = false;
    bool resultNext = false;
    while (cursor < end) {
        WideToken token = NextToken(&cursor, end);
        if (valueNext) {
            if (resultNext) {
                result = token;
            }
            valueNext = false;
            continue;
        }
        if (TakesValue(token)) {
            valueNext = true;
            resultNext = TokenIs(token, kResultOption);
            continue;
        }
        if (cursor >= end) {
            path = token;
        }
    }
    bool hasPath = options->path[0] != '\0' && path.text != nullptr;
    bool hasResult = options->resultPath[0] != '\0' && result.text != nullptr;
    bool spelled = (!hasPath || SpelledByAnsi(path)) && (!hasResult || SpelledByAnsi(result));
    if (spelled) {
        return;
    }
    // One flag says the encoding of both names, so both are taken in UTF-8.
    options->job.utf8Path = true;
    ConvertInPlace(options->problem, kTextBufferSize);
    if (hasPath) {
        CopyAsUtf8(path, options->path);
    } else {
        ConvertInPlace(options->path, kPathBufferSize);
    }
    if (hasResult) {
        CopyAsUtf8(result, options->resultPath);
        if (options->resultPath[0] == '\0') {
            NoteResultTooLong(result, options);
        }
    } else {
        ConvertInPlace(options->resultPath, kPathBufferSize);
    }
}
