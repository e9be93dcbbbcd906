// libFuzzer target for the passthrough encoder: any bytes in, and the output must be the
// input's tokens, in order, each between "${" and "}$", the final print command lowered,
// with a length of the tokens' lengths plus four each, never above 5 * n + 12.
#include "transport/passthrough_encoder.h"
#include "platform/testing.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// What the final "P" command becomes: "P", the quantity lowered (at least -1), a line feed.
std::string LoweredPrintCommand(const std::string& token) {
    long quantity = std::strtol(token.c_str() + 1, nullptr, 10);
    if (quantity > INT_MAX) {
        quantity = INT_MAX;
    }
    return "P" + std::to_string(quantity >= 2 ? quantity - 1 : -1) + "\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    const std::string text = input.substr(0, input.find('\0'));

    std::size_t length = 0;
    char* output = EncodePassthrough(input.c_str(), &length);
    Check(output != nullptr);
    Check(std::strlen(output) == length);
    Check(length <= 5 * text.size() + 12);
    Check((length == 0) == text.empty());

    std::size_t position = 0;
    std::size_t cursor = 0;
    while (position < text.size()) {
        std::size_t end;
        if (text[position] == '^') {
            end = text.find_first_of("^~", position + 1);
        } else {
            end = text.find('\n', position);
            end = end == std::string::npos ? end : end + 1;
        }
        end = end == std::string::npos ? text.size() : end;
        std::string token = text.substr(position, end - position);
        const bool last = text.size() - end <= 1;
        if (last && token[0] == 'P' && token.size() > 1) {
            token = LoweredPrintCommand(token);
        }
        Check(cursor + token.size() + 4 <= length);
        Check(std::memcmp(output + cursor, "${", 2) == 0);
        Check(std::memcmp(output + cursor + 2, token.data(), token.size()) == 0);
        Check(std::memcmp(output + cursor + 2 + token.size(), "}$", 2) == 0);
        cursor += token.size() + 4;
        if (last) {
            break;
        }
        position = end;
    }
    Check(cursor == length);

    ReleasePassthrough(output);
    // The substitute heap logs every call; a long run must not keep them all.
    wintest::ClearCallLog();
    return 0;
}
