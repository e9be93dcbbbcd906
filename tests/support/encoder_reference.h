// A plain, deliberately literal passthrough encoder: tokens are taken off the front of a
// working std::string and appended to the output one at a time. Quadratic, and written
// independently of transport/passthrough_encoder.cpp, so that the two can be compared
// (unit tests on generated inputs, the encoder fuzz target on any bytes).
#pragma once

#include <climits>
#include <cstdlib>
#include <string>

namespace encoder_reference {

// The final print command: "P", the quantity as atoi reads it (saturated to int) lowered by
// one, or -1 for quantities below 2, then a line feed. Whatever followed the number is gone.
inline std::string LoweredPrintCommand(const std::string& token) {
    long parsed = std::strtol(token.c_str() + 1, nullptr, 10);
    int quantity = parsed > INT_MAX   ? INT_MAX
                   : parsed < INT_MIN ? INT_MIN
                                      : static_cast<int>(parsed);
    // Appended piece by piece: GCC 12 takes "literal" + std::string for an overlapping copy
    // in the optimised build (-Werror=restrict).
    std::string command = "P";
    command += std::to_string(quantity >= 2 ? quantity - 1 : -1);
    command += "\n";
    return command;
}

// Encodes `input` up to its first NUL.
inline std::string Encode(const std::string& input) {
    std::string working = input.substr(0, input.find('\0'));
    std::string output;
    while (!working.empty()) {
        // n counts the token's characters; without a line feed it also covers the NUL.
        size_t n;
        if (working[0] == '^') {
            size_t next = working.find_first_of("^~", 1);
            n = next == std::string::npos ? working.size() : next;
        } else {
            size_t lineFeed = working.find('\n');
            n = lineFeed == std::string::npos ? working.size() + 1 : lineFeed + 1;
        }
        std::string token = working.substr(0, n);
        // A single character left behind the token is discarded with it.
        if (working.size() > n + 1) {
            working.erase(0, n);
        } else {
            working.clear();
        }
        if (token[0] == 'P' && token.size() > 1 && working.empty()) {
            token = LoweredPrintCommand(token);
        }
        output += "${" + token + "}$";
    }
    return output;
}

} // namespace encoder_reference
