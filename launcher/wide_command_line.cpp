// The wide command line: names the ANSI command line could only spell with '?' or look-alikes,
// or that its look-alikes moved, are taken from it in UTF-8.
#include "launcher/wide_command_line.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kResultOption[] = "--result";
constexpr char kWatchOption[] = "--watch";

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

// The options that stand alone: no file name, whatever their place.
bool IsFlag(const WideToken& token) {
    for (int index = 0; FlagOptionAt(index) != nullptr; ++index) {
        if (TokenIs(token, FlagOptionAt(index))) {
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

// True when the ANSI scan found the name the wide scan found: ansiName (the ANSI scan's, ""
// for none) is the token as the system spells it in the ANSI command line, with look-alikes.
// A token too long for the buffer was too long for the ANSI scan as well, which left "".
bool SameName(const WideToken& token, const char* ansiName) {
    if (token.length == 0) {
        return ansiName[0] == '\0';
    }
    char spelled[kPathBufferSize];
    int size = WideCharToMultiByte(CP_ACP, 0, token.text, token.length, spelled, kMaxPathLength,
                                   nullptr, nullptr);
    if (size <= 0) {
        return ansiName[0] == '\0';
    }
    spelled[size] = '\0';
    return std::strcmp(spelled, ansiName) == 0;
}

// A high surrogate not followed by a low one, or a low one not after a high one: half a
// character, which the conversion to UTF-8 replaces, so that the name would reach another
// file.
bool HasLoneSurrogate(const WideToken& token) {
    auto isLow = [](WCHAR unit) { return unit >= 0xDC00 && unit <= 0xDFFF; };
    for (int at = 0; at < token.length; ++at) {
        WCHAR unit = token.text[at];
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        bool low = isLow(unit);
        if (high && at + 1 < token.length && isLow(token.text[at + 1])) {
            ++at;
            continue;
        }
        if (high || low) {
            return true;
        }
    }
    return false;
}

// The token in UTF-8 into out (kPathBufferSize bytes, zero-filled behind the name, as the
// ANSI scan leaves them); "" when it does not fit.
void CopyAsUtf8(const WideToken& token, char* out) {
    std::memset(out, 0, kPathBufferSize);
    if (token.length == 0) {
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, token.text, token.length, out, kMaxPathLength,
                                   nullptr, nullptr);
    if (size <= 0) {
        // A conversion that ran out of room may have written part of the name.
        std::memset(out, 0, kPathBufferSize);
    }
}

// UTF-8 text into out (size bytes), cut between whole characters when it is longer.
void CopyCutUtf8(const char* text, char* out, std::size_t size) {
    std::size_t length = std::strlen(text);
    if (length >= size) {
        length = size - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(out, text, length);
    out[length] = '\0';
}

// A problem the wide scan found, with value (UTF-8) quoted in it; refuses the command line
// whatever becomes of the text. The first problem found is the one told.
void NoteUtf8Problem(LaunchOptions* options, const char* format, const char* value) {
    if (!options->refused) {
        char composed[kPathBufferSize + kTextBufferSize];
        std::snprintf(composed, sizeof(composed), format, value);
        CopyCutUtf8(composed, options->problem, sizeof(options->problem));
    }
    options->refused = true;
}

// A result file's name too long in UTF-8 is refused as the ANSI scan refuses one too long in
// ANSI (a cut name could name another file); the message quotes its start.
void NoteResultTooLong(const WideToken& token, LaunchOptions* options) {
    constexpr int kQuotedUnits = 400; // at most 4 bytes each: the message keeps its end
    char quoted[4 * kQuotedUnits + 1];
    int size = WideCharToMultiByte(CP_UTF8, 0, token.text,
                                   token.length < kQuotedUnits ? token.length : kQuotedUnits,
                                   quoted, 4 * kQuotedUnits, nullptr, nullptr);
    quoted[size > 0 ? size : 0] = '\0';
    NoteUtf8Problem(options, "--result takes the name of the file to write, not \"%s\".", quoted);
}

// The ANSI scan's problem (ANSI) in UTF-8 in place, cut between whole characters when it no
// longer fits: a problem is never lost. What cannot be converted at all keeps its ASCII, with
// '?' for the rest.
void ConvertProblemToUtf8(char* problem) {
    WCHAR wide[kTextBufferSize];
    char converted[3 * kTextBufferSize]; // a character of an ANSI code page: at most 3 bytes
    if (MultiByteToWideChar(CP_ACP, 0, problem, -1, wide, kTextBufferSize) == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, converted, static_cast<int>(sizeof(converted)),
                            nullptr, nullptr) == 0) {
        for (char* at = problem; *at != '\0'; ++at) {
            if (static_cast<unsigned char>(*at) >= 0x80) {
                *at = '?';
            }
        }
        return;
    }
    CopyCutUtf8(converted, problem, kTextBufferSize);
}

// The last token and the "--result" value of the wide command line; a token's text is
// nullptr when there is none.
struct WideNames {
    WideToken path;
    WideToken result;
    WideToken watch;
};

WideNames ScanWideNames(LPCWSTR commandLine) {
    LPCWSTR cursor = SkipProgramName(commandLine);
    LPCWSTR end = cursor;
    while (*end != 0) {
        ++end;
    }
    WideNames names{{nullptr, 0}, {nullptr, 0}, {nullptr, 0}};
    WideToken* valueNext = nullptr;
    WideToken ignored{nullptr, 0};
    while (cursor < end) {
        WideToken token = NextToken(&cursor, end);
        if (valueNext != nullptr) {
            *valueNext = token;
            valueNext = nullptr;
            continue;
        }
        if (TakesValue(token)) {
            valueNext = TokenIs(token, kResultOption)  ? &names.result
                        : TokenIs(token, kWatchOption) ? &names.watch
                                                       : &ignored;
            continue;
        }
        if (cursor >= end && !IsFlag(token)) {
            names.path = token;
        }
    }
    return names;
}

} // namespace

void ApplyWideCommandLine(LPCWSTR commandLine, LaunchOptions* options) {
    if (commandLine == nullptr) {
        return;
    }
    WideNames names = ScanWideNames(commandLine);
    // Look-alikes in the ANSI command line (a full-width quote becomes '"') can move where a
    // token starts, so that the ANSI scan names another file: the wide scan is then the one
    // to follow.
    bool same = SameName(names.path, options->path) &&
                SameName(names.result, options->resultPath) &&
                SameName(names.watch, options->watchFolder);
    bool spelled =
        SpelledByAnsi(names.path) && SpelledByAnsi(names.result) && SpelledByAnsi(names.watch);
    if (same && spelled) {
        return;
    }
    // One flag says the encoding of both names, so both are taken in UTF-8.
    options->job.utf8Path = true;
    ConvertProblemToUtf8(options->problem);
    CopyAsUtf8(names.path, options->path);
    CopyAsUtf8(names.result, options->resultPath);
    CopyAsUtf8(names.watch, options->watchFolder);
    if (names.result.length > 0 && options->resultPath[0] == '\0') {
        NoteResultTooLong(names.result, options);
    }
    if (names.watch.length > 0 && options->watchFolder[0] == '\0') {
        NoteUtf8Problem(options, "--watch names a folder too long to watch%s.", "");
    }
    if (HasLoneSurrogate(names.watch)) {
        NoteUtf8Problem(options,
                        "--watch names \"%s\", which holds half a character (a lone UTF-16 "
                        "surrogate): it would name another folder.",
                        options->watchFolder);
    }
    if (HasLoneSurrogate(names.path)) {
        NoteUtf8Problem(options,
                        "the label file's name \"%s\" holds half a character (a lone UTF-16 "
                        "surrogate): it would name another file.",
                        options->path);
    }
    if (HasLoneSurrogate(names.result)) {
        NoteUtf8Problem(options,
                        "--result names \"%s\", which holds half a character (a lone UTF-16 "
                        "surrogate): it would name another file.",
                        options->resultPath);
    }
}
