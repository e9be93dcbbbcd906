// A name or message turned into UTF-8 for the records, from ANSI or as it stands.
#include "core/file_names.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Utf8Case {
    const char* text;
    bool isUtf8;
    bool converted;
    const char* utf8;
};

const Utf8Case kUtf8Cases[] = {
    {"", false, true, ""},
    {"C:\\Labels\\a.zpl", false, true, "C:\\Labels\\a.zpl"},
    // One ANSI byte, two UTF-8 bytes.
    {"caf\xE9.zpl", false, true, "caf\xC3\xA9.zpl"},
    {"\xE6\xA0\x87\xE7\xAD\xBE.zpl", true, true, "\xE6\xA0\x87\xE7\xAD\xBE.zpl"},
    {"\xF0\x9F\x8F\xB7.zpl", true, true, "\xF0\x9F\x8F\xB7.zpl"},
    // Not UTF-8 at all: taken as the replacement character, as Windows does without
    // MB_ERR_INVALID_CHARS.
    {"a\xFF"
     "b",
     true, true,
     "a\xEF\xBF\xBD"
     "b"},
    {"\xC0\xAF", true, true, "\xEF\xBF\xBD\xEF\xBF\xBD"},
};

TEST(TextAsUtf8Test, TextAsUtf8) {
    for (const Utf8Case& c : kUtf8Cases) {
        SCOPED_TRACE(c.text);
        char out[64];
        EXPECT_EQ(TextAsUtf8(c.text, c.isUtf8, out, sizeof(out)), c.converted);
        EXPECT_STREQ(out, c.utf8);
    }
}

// The output fills its buffer to the last byte with the NUL and no further.
TEST(TextAsUtf8Test, TextAsUtf8Boundary) {
    char out[8];
    std::memset(out, 'x', sizeof(out));
    EXPECT_FALSE(TextAsUtf8("abcdef\xE9", false, out, sizeof(out)));
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(TextAsUtf8("abcde\xE9", false, out, sizeof(out)));
    EXPECT_STREQ(out, "abcde\xC3\xA9");
}

} // namespace
