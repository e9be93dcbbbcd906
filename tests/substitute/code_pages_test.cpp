// The substitute's code pages: ISO 8859-1 as ANSI and UTF-8, with the SDK's sizing rules.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CodePagesTest, SizingAndRefusals) {
    substitute::Reset();
    // Asking for the size counts the NUL of a -1 length.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xE6\xA0\x87", -1, nullptr, 0), 2);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "ab", 2, nullptr, 0), 2);
    WCHAR wide[2];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", -1, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", -1, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A character ANSI cannot spell is reported, with the default character in its place.
    const WCHAR label[] = {0x6807, L'.', L'z', 0};
    char ansi[8];
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, label, -1, ansi, sizeof(ansi),
                                  nullptr, &usedDefault),
              4);
    EXPECT_TRUE(usedDefault);
    EXPECT_STREQ(ansi, "?.z");
    const WCHAR cafe[] = {L'c', 0xE9, 0};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, cafe, -1, ansi, sizeof(ansi),
                                  nullptr, &usedDefault),
              3);
    EXPECT_FALSE(usedDefault);
    // UTF-8 takes no default character report.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, cafe, -1, ansi, sizeof(ansi), nullptr, &usedDefault),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, label, -1, ansi, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// Best fit gives a full-width quote its ASCII look-alike without reporting a default
// character; WC_NO_BEST_FIT_CHARS reports it. A surrogate pair is one character, a lone
// surrogate none (U+FFFD in UTF-8).
TEST(CodePagesTest, BestFitAndSurrogates) {
    substitute::Reset();
    const WCHAR quoted[] = {0xFF02, L'a', 0xFF5E, 0xFF5F, 0};
    char ansi[8];
    BOOL usedDefault = TRUE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, quoted, 3, ansi, sizeof(ansi), nullptr, &usedDefault),
              3);
    EXPECT_EQ(std::string(ansi, 3), "\"a~");
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, quoted, -1, ansi, sizeof(ansi), nullptr, &usedDefault),
              5);
    EXPECT_STREQ(ansi, "\"a~?");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, quoted, -1, ansi, sizeof(ansi),
                                  nullptr, &usedDefault),
              5);
    EXPECT_STREQ(ansi, "?a??");

    const WCHAR pair[] = {0xD83D, 0xDE00, 0xDC00, L'x', 0xD800, 0};
    char utf8[16];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, -1, utf8, sizeof(utf8), nullptr, nullptr), 12);
    EXPECT_STREQ(utf8, "\xF0\x9F\x98\x80\xEF\xBF\xBDx\xEF\xBF\xBD");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, pair, -1, ansi, sizeof(ansi), nullptr, nullptr), 5);
    EXPECT_STREQ(ansi, "??x?");
}

} // namespace
