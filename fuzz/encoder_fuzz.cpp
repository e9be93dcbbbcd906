// The passthrough encoder against the literal front-cutting reference, on any bytes: the
// same output, of the reported length, in one block that is released again. The token
// cutter's own substring steps (TakeToken, CutText) drive a second encoder that must agree.
#include "transport/passthrough_encoder.h"
#include "platform/testing.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/encoder_reference.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Tokens taken off the front of exactly sized buffers with TakeToken, as the encoder's steps
// describe them: a line token without a line feed counts the text's NUL as its last character.
std::string EncodeWithTakeToken(const char* text, std::size_t textLength) {
    std::unique_ptr<char[]> working(new char[textLength + 1]);
    std::unique_ptr<char[]> token(new char[textLength + 2]);
    std::memcpy(working.get(), text, textLength + 1);
    std::string output;
    std::size_t remaining = textLength;
    while (remaining > 0) {
        const char* start = working.get();
        std::ptrdiff_t n;
        if (start[0] == '^') {
            n = static_cast<std::ptrdiff_t>(1 + std::strcspn(start + 1, "^~"));
        } else {
            const char* lineFeed = std::strchr(start, '\n');
            n = lineFeed == nullptr ? static_cast<std::ptrdiff_t>(remaining + 1)
                                    : lineFeed - start + 1;
        }
        fuzz::Check(TakeToken(working.get(), 1, n, token.get(), 0) == n, "TakeToken's result");
        remaining = std::strlen(working.get());
        std::string taken(token.get());
        if (taken[0] == 'P' && taken.size() > 1 && remaining == 0) {
            taken = encoder_reference::LoweredPrintCommand(taken);
        }
        output += "${" + taken + "}$";
    }
    return output;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exactly sized copy, so that a read beyond the text's NUL is caught.
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    const std::string input(text.get(), size);

    std::size_t length = 0;
    char* output = EncodePassthrough(text.get(), &length);
    fuzz::Check(output != nullptr, "encoder returned no output");
    fuzz::Check(std::strlen(output) == length, "output not terminated at its length");
    const std::string expected = encoder_reference::Encode(input);
    fuzz::CheckEqual(std::string(output, length), expected, "output");
    fuzz::CheckEqual(EncodeWithTakeToken(text.get(), std::strlen(text.get())), expected,
                     "output through TakeToken");
    fuzz::Check(std::memcmp(text.get(), data, size) == 0, "input text changed");
    ReleasePassthrough(output);

    fuzz::Check(substitute::OpenHandles().empty(), "heap block left open");
    // The substitute heap logs every call; a long run must not keep them all.
    substitute::ClearCallLog();
    return 0;
}
