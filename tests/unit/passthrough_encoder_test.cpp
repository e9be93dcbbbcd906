// The passthrough encoder: worked examples, edge cases, the substring helpers, and the
// linear encoder checked against a literal front-cutting reference on generated inputs.
#include "transport/passthrough_encoder.h"
#include "platform/testing.h"
#include "tests/support/encoder_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

class PassthroughEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override {
        EXPECT_TRUE(substitute::OpenHandles().empty());
        EXPECT_TRUE(substitute::JoinThreads());
    }
};

std::string Encode(const std::string& input) {
    size_t length = 12345;
    char* output = EncodePassthrough(input.c_str(), &length);
    EXPECT_NE(output, nullptr);
    if (output == nullptr) {
        return "<null>";
    }
    std::string result(output, length);
    EXPECT_EQ(std::strlen(output), length) << "output not terminated at its length";
    ReleasePassthrough(output);
    return result;
}

struct Example {
    const char* input;
    const char* output;
};

TEST_F(PassthroughEncoderTest, WorkedExamples) {
    const Example examples[] = {
        {"N\nq609\nQ203,26\nP1\n", "${N\n}$${q609\n}$${Q203,26\n}$${P-1\n}$"},
        {"N\nq609\nQ203,26\nP3\n", "${N\n}$${q609\n}$${Q203,26\n}$${P2\n}$"},
        {"N\r\nP2,1\r\n", "${N\r\n}$${P1\n}$"},
        {"N\nP2\nX", "${N\n}$${P1\n}$"},
        {"N\nP2\n\n", "${N\n}$${P1\n}$"},
        {"N\r\nP2\r\n\r\n", "${N\r\n}$${P2\r\n}$${\r\n}$"},
        {"P1", "${P-1\n}$"},
        {"P", "${P}$"},
        {"^XA^FO50,50^ADN,36,20^FDHELLO^FS^XZ",
         "${^XA}$${^FO50,50}$${^ADN,36,20}$${^FDHELLO}$${^FS}$${^XZ}$"},
        {"^XA\n^FO50,50^FDHI^FS\n^XZ\n", "${^XA\n}$${^FO50,50}$${^FDHI}$${^FS\n}$${^XZ\n}$"},
        {"~JA\n^XA^XZ\n", "${~JA\n}$${^XA}$${^XZ\n}$"},
        {"^XA~JA^XZ", "${^XA}$${~JA^XZ}$"},
        {"^^XA", "${^}$${^XA}$"},
        {"", ""},
    };
    for (const Example& example : examples) {
        EXPECT_EQ(Encode(example.input), example.output) << "input: " << example.input;
        EXPECT_EQ(encoder_reference::Encode(example.input), example.output)
            << "reference: " << example.input;
    }
}

TEST_F(PassthroughEncoderTest, EdgeCases) {
    const std::string longLast = "N\n" + std::string(5000, 'A');
    const Example examples[] = {
        // The last line without a line feed is one token; P1 gains its line feed.
        {"N\nA10,10\nP1", "${N\n}$${A10,10\n}$${P-1\n}$"},
        // Lone "^", runs of "^" and of line feeds: one-character tokens, the last discarded.
        {"^", "${^}$"},
        {"^^^", "${^}$${^}$"},
        {"\n", "${\n}$"},
        {"\n\n\n", "${\n}$${\n}$"},
        {"\n\n\n\n", "${\n}$${\n}$${\n}$"},
        // Quantities of the final print command.
        {"P0\n", "${P-1\n}$"},
        {"P1\n", "${P-1\n}$"},
        {"P-5\n", "${P-1\n}$"},
        {"P\n", "${P-1\n}$"},
        {"P2\n", "${P1\n}$"},
        {"P10\n", "${P9\n}$"},
        {"P 7\n", "${P6\n}$"},
        {"P+4\n", "${P3\n}$"},
        {"Pabc\n", "${P-1\n}$"},
        {"P2147483647\n", "${P2147483646\n}$"},
        {"P99999999999\n", "${P2147483646\n}$"},
        {"P-99999999999\n", "${P-1\n}$"},
        // The quantity is read within the token: a discarded digit behind it does not count.
        {"P\n5", "${P-1\n}$"},
        // Lower-case p, and a "P" command that is not last, are never adjusted.
        {"N\np2\n", "${N\n}$${p2\n}$"},
        {"P2\nN\n", "${P2\n}$${N\n}$"},
        {"P2\n\r\n", "${P2\n}$${\r\n}$"},
        // A ZPL II file ending in ^XZ: its last token starts with "^".
        {"^XA^PQ2\n^XZ", "${^XA}$${^PQ2\n}$${^XZ}$"},
        // "~" begins a line token that may hold "^" and "~".
        {"~JA^XZ~JB\nN\n", "${~JA^XZ~JB\n}$${N\n}$"},
        {"^XA~", "${^XA}$"},
        {"^XA~~", "${^XA}$${~~}$"},
    };
    for (const Example& example : examples) {
        EXPECT_EQ(Encode(example.input), example.output) << "input: " << example.input;
        EXPECT_EQ(encoder_reference::Encode(example.input), example.output)
            << "reference: " << example.input;
    }
    EXPECT_EQ(Encode(longLast), "${N\n}$${" + std::string(5000, 'A') + "}$");
    const std::string longPrint = "N\nP" + std::string(3000, '0') + "42\r\n";
    EXPECT_EQ(Encode(longPrint), "${N\n}$${P41\n}$");
}

TEST_F(PassthroughEncoderTest, NulEndsTheText) {
    const char withNul[] = {'X', 'Y', '\0', 'Z', '\0'};
    EXPECT_EQ(Encode(std::string(withNul, sizeof(withNul))), "${XY}$");
    const char nulFirst[] = {'\0', 'P', '2', '\n', '\0'};
    EXPECT_EQ(Encode(std::string(nulFirst, sizeof(nulFirst))), "");
}

TEST_F(PassthroughEncoderTest, LackOfMemoryGivesNullAndTheError) {
    substitute::FailNext("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    size_t length = 99;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(EncodePassthrough("N\nP1\n", &length), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(length, 0u);
}

TEST_F(PassthroughEncoderTest, OutputIsOneExactlySizedBlock) {
    size_t length = 0;
    char* output = EncodePassthrough("^^^^", &length);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(length, 15u);
    EXPECT_EQ(substitute::CallLog(), (std::vector<std::string>{"HeapAlloc 16"}));
    ReleasePassthrough(output);
    ReleasePassthrough(nullptr);
}

TEST_F(PassthroughEncoderTest, CutTextCopiesOrShifts) {
    char token[16];
    char text[] = "ABCDEF";
    EXPECT_EQ(CutText(text, 2, 3, token), 3);
    EXPECT_STREQ(token, "BCD");
    EXPECT_STREQ(text, "ABCDEF");
    // The text's own NUL may be the last character copied.
    EXPECT_EQ(CutText(text, 5, 3, token), 3);
    EXPECT_STREQ(token, "EF");

    struct Shift {
        std::ptrdiff_t position;
        std::ptrdiff_t count;
        const char* rest;
    };
    const Shift shifts[] = {{1, 0, "ABCDEF"}, {3, 0, "CDEF"}, {7, 0, ""}, {4, -2, "DEF"}};
    for (const Shift& shift : shifts) {
        char shifted[] = "ABCDEF";
        EXPECT_EQ(CutText(shifted, shift.position, shift.count, nullptr), 0);
        EXPECT_STREQ(shifted, shift.rest) << "position " << shift.position;
    }
}

TEST_F(PassthroughEncoderTest, TakeTokenTakesTheFrontAndDiscardsOneLeftover) {
    struct Take {
        const char* text;
        std::ptrdiff_t count;
        std::ptrdiff_t extra;
        const char* token;
        const char* rest;
    };
    const Take takes[] = {
        {"N\nP2\n", 2, 0, "N\n", "P2\n"},
        {"P2\nX", 3, 0, "P2\n", ""},    // one character left: discarded
        {"P2\nXY", 3, 0, "P2\n", "XY"}, // two left: kept
        {"P1", 3, 0, "P1", ""},         // the count covers the text's NUL
        {"^^^", 1, 0, "^", "^^"},
        {"^^", 1, 0, "^", ""},
        {"AB\nCDE", 3, 1, "AB\n", "DE"}, // extra characters go as well
    };
    for (const Take& take : takes) {
        char text[32];
        std::snprintf(text, sizeof(text), "%s", take.text);
        char token[32] = {};
        EXPECT_EQ(TakeToken(text, 1, take.count, token, take.extra), take.count);
        EXPECT_STREQ(token, take.token) << "text: " << take.text;
        EXPECT_STREQ(text, take.rest) << "text: " << take.text;
    }
}

// Label-like text from a small alphabet, biased towards the characters that decide tokens
// and towards a final print command, so every rule is met many times.
std::string GenerateInput(std::mt19937& random) {
    static const char alphabet[] = {'^', '^', '~', '\n', '\n', '\r', 'P', 'P', 'p',  'N', 'X',
                                    '0', '1', '2', '9',  '-',  '+',  ' ', ',', '\t', '\0'};
    std::uniform_int_distribution<int> pick(0, sizeof(alphabet) - 1);
    std::uniform_int_distribution<int> size(0, 40);
    std::string text;
    for (int i = size(random); i > 0; --i) {
        text += alphabet[pick(random)];
    }
    switch (random() % 4) {
    // Appended piece by piece: GCC 12 takes "literal" + std::string for an overlapping copy
    // in the optimised build (-Werror=restrict).
    case 0:
        text += "P";
        text += std::to_string(static_cast<int>(random() % 25) - 5);
        break;
    case 1:
        text += "\nP";
        text += std::to_string(random() % 12);
        text += random() % 2 ? "\n" : "\nZ";
        break;
    default:
        break;
    }
    return text;
}

TEST_F(PassthroughEncoderTest, MatchesTheLiteralAlgorithmOnGeneratedInputs) {
    std::mt19937 random(20261207);
    int mismatches = 0;
    for (int i = 0; i < 20000 && mismatches < 5; ++i) {
        std::string input = GenerateInput(random);
        std::string expected = encoder_reference::Encode(input);
        std::string actual = Encode(input);
        if (actual != expected) {
            ++mismatches;
            ADD_FAILURE() << "input (" << input.size() << " bytes): " << input
                          << "\nexpected: " << expected << "\nactual:   " << actual;
        }
        if (i % 1000 == 999) {
            substitute::ClearCallLog();
        }
    }
    EXPECT_EQ(mismatches, 0);
}

} // namespace
