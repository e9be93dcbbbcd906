// The wide command-line scan on any UTF-16 text, after the ANSI scan of the same line as the
// system spells it in ANSI (best fit), against a plain reference: the file and the result
// file are the ones the wide line names whenever the ANSI line cannot be trusted for them,
// a refusal always carries its text, and a text that needs UTF-8 is cut between characters.
#include "launcher/wide_command_line.h"
#include "fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Units = std::u16string;

bool IsHigh(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLow(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Each character in turn: a high and a low surrogate together are one, a lone one stays.
template <typename Visit> void ForEachCharacter(const Units& text, Visit visit) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        char32_t code = text[at];
        if (IsHigh(text[at]) && at + 1 < text.size() && IsLow(text[at + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[at + 1] - 0xDC00);
            ++at;
        }
        visit(code);
    }
}

std::string Utf8(const Units& text) {
    std::string out;
    ForEachCharacter(text, [&out](char32_t code) {
        if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    });
    return out;
}

// ISO 8859-1 with the best fit of full-width ASCII; '?' for anything else.
std::string BestFit(const Units& text) {
    std::string out;
    ForEachCharacter(text, [&out](char32_t code) {
        if (code <= 0xFF) {
            out += static_cast<char>(code);
        } else if (code >= 0xFF01 && code <= 0xFF5E) {
            out += static_cast<char>(code - 0xFF01 + 0x21);
        } else {
            out += '?';
        }
    });
    return out;
}

bool Spelled(const Units& text) {
    for (char16_t unit : text) {
        if (unit > 0xFF) {
            return false;
        }
    }
    return true;
}

bool HasLoneSurrogate(const Units& text) {
    bool lone = false;
    ForEachCharacter(text,
                     [&lone](char32_t code) { lone = lone || (code >= 0xD800 && code <= 0xDFFF); });
    return lone;
}

struct WideNames {
    Units path; // "" when there is none
    Units result;
};

// Tokens as the ANSI scan splits them; the last one names the file unless it is an option
// or an option's value.
WideNames ReferenceNames(const Units& line) {
    static const char* const kValueOptions[] = {"--printer", "--delay",  "--attempts",
                                                "--timeout", "--result", "--confirm"};
    static const char* const kFlags[] = {"-s", "--settings", "-?", "--about",
                                         "-n", "--nofile",   "-q", "--quiet"};
    auto is = [](const Units& token, const char* name) {
        return token == Units(name, name + std::strlen(name));
    };
    WideNames names;
    std::size_t position = 0;
    bool valueNext = false;
    bool resultNext = false;
    while (position < line.size()) {
        std::size_t start = position;
        std::size_t end;
        if (line[position] == u'"') {
            start = position + 1;
            end = line.find(u'"', start);
        } else {
            end = line.find_first_of(u" \t", position);
        }
        std::size_t next = end == Units::npos ? line.size() : end + 1;
        if (end == Units::npos) {
            end = line.size();
        }
        const Units token = line.substr(start, end - start);
        position = next;
        if (valueNext) {
            if (resultNext) {
                names.result = token;
            }
            valueNext = false;
            continue;
        }
        bool takesValue = false;
        for (const char* name : kValueOptions) {
            takesValue = takesValue || is(token, name);
        }
        if (takesValue) {
            valueNext = true;
            resultNext = is(token, "--result");
            continue;
        }
        bool flag = false;
        for (const char* name : kFlags) {
            flag = flag || is(token, name);
        }
        if (!flag && next == line.size()) {
            names.path = token;
        }
    }
    return names;
}

// The ANSI scan found the wide name: its best fit, or nothing where that is too long.
bool SameName(const Units& name, const char* ansi) {
    std::string fitted = BestFit(name);
    if (fitted.size() > static_cast<std::size_t>(kMaxPathLength)) {
        fitted.clear();
    }
    return fitted == ansi;
}

std::string Fitting(const std::string& utf8) {
    return utf8.size() <= static_cast<std::size_t>(kMaxPathLength) ? utf8 : std::string();
}

bool ValidUtf8(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
        auto lead = static_cast<unsigned char>(text[at]);
        if ((lead >= 0x80 && lead < 0xC0) || lead >= 0xF8) {
            return false;
        }
        std::size_t extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        if (at + extra >= text.size()) {
            return false;
        }
        for (std::size_t i = 1; i <= extra; ++i) {
            if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) {
                return false;
            }
        }
        at += extra + 1;
    }
    return true;
}

// The ANSI problem (ISO 8859-1) in UTF-8, cut between characters to the problem buffer.
std::string ConvertedProblem(const char* problem) {
    Units widened;
    for (const char* at = problem; *at != '\0'; ++at) {
        widened += static_cast<char16_t>(static_cast<unsigned char>(*at));
    }
    std::string utf8 = Utf8(widened);
    std::size_t length = utf8.size();
    if (length >= static_cast<std::size_t>(kTextBufferSize)) {
        length = kTextBufferSize - 1;
        while (length > 0 && (static_cast<unsigned char>(utf8[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    return utf8.substr(0, length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input as UTF-16LE units up to the first NUL, after the white space the runtime
    // skips behind the program's name.
    Units arguments;
    for (std::size_t at = 0; at + 1 < size; at += 2) {
        auto unit = static_cast<char16_t>(data[at] | (data[at + 1] << 8));
        if (unit == 0) {
            break;
        }
        if (arguments.empty() && unit <= u' ') {
            continue;
        }
        arguments += unit;
    }
    std::wstring wide = L"tagwright.exe ";
    for (char16_t unit : arguments) {
        wide += static_cast<wchar_t>(unit);
    }
    std::string ansiLine = BestFit(arguments);
    std::vector<char> line(ansiLine.begin(), ansiLine.end());
    line.push_back('\0');

    LaunchOptions options;
    ScanCommandLine(line.data(), &options);
    LaunchOptions before;
    std::memcpy(&before, &options, sizeof(before)); // padding and all, for the comparison
    ApplyWideCommandLine(wide.c_str(), &options);

    const WideNames names = ReferenceNames(arguments);
    bool same = SameName(names.path, before.path) && SameName(names.result, before.resultPath);
    if (same && Spelled(names.path) && Spelled(names.result)) {
        fuzz::Check(std::memcmp(&options, &before, sizeof(options)) == 0,
                    "options changed though the ANSI scan found the names exactly");
        return 0;
    }
    fuzz::Check(options.job.utf8Path, "names taken from the wide scan without the UTF-8 flag");
    const std::size_t pathLength = strnlen(options.path, sizeof(options.path));
    const std::size_t resultLength = strnlen(options.resultPath, sizeof(options.resultPath));
    const std::size_t problemLength = strnlen(options.problem, sizeof(options.problem));
    fuzz::Check(pathLength < sizeof(options.path) && resultLength < sizeof(options.resultPath) &&
                    problemLength < sizeof(options.problem),
                "a text not terminated inside its buffer");
    for (std::size_t i = pathLength; i < sizeof(options.path); ++i) {
        fuzz::Check(options.path[i] == '\0', "path buffer not zero-filled behind the path");
    }
    fuzz::CheckEqual(options.path, Fitting(Utf8(names.path)), "path");
    fuzz::CheckEqual(options.resultPath, Fitting(Utf8(names.result)), "result path");

    bool resultTooLong = !names.result.empty() && Fitting(Utf8(names.result)).empty();
    bool refused = before.refused || resultTooLong || HasLoneSurrogate(names.path) ||
                   HasLoneSurrogate(names.result);
    fuzz::Check(options.refused == refused, "refusal");
    fuzz::Check(!options.refused || problemLength > 0, "a refusal without its text");
    fuzz::Check(ValidUtf8(options.problem), "problem is no UTF-8");
    if (before.refused) {
        fuzz::CheckEqual(options.problem, ConvertedProblem(before.problem), "problem");
    }
    fuzz::Check(options.settings == before.settings && options.about == before.about &&
                    options.noFile == before.noFile && options.job.quiet == before.job.quiet,
                "options other than the names changed");
    return 0;
}
