// Shared by the fuzz targets: a failed check names what differed and aborts, which libFuzzer
// reports as a finding and saves the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// Prints both sides, escaped, before failing, so the finding can be read without a debugger.
inline std::string Escaped(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char code[8];
            std::snprintf(code, sizeof(code), "\\x%02x", c);
            shown += code;
        }
    }
    return shown;
}

inline void CheckEqual(const std::string& actual, const std::string& expected, const char* what) {
    if (actual != expected) {
        std::fprintf(stderr, "%s differs\n  expected (%zu): %s\n  actual   (%zu): %s\n", what,
                     expected.size(), Escaped(expected).c_str(), actual.size(),
                     Escaped(actual).c_str());
        std::abort();
    }
}

} // namespace fuzz
