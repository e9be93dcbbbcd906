// The passthrough encoder against the literal front-cutting reference, on any bytes: the
// same output, of the reported length, in one block that is released again.
#include "transport/passthrough_encoder.h"
#include "platform/testing.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/encoder_reference.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

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
    fuzz::CheckEqual(std::string(output, length), encoder_reference::Encode(input), "output");
    fuzz::Check(std::memcmp(text.get(), data, size) == 0, "input text changed");
    ReleasePassthrough(output);

    fuzz::Check(wintest::OpenHandles().empty(), "heap block left open");
    // The substitute heap logs every call; a long run must not keep them all.
    wintest::ClearCallLog();
    return 0;
}
