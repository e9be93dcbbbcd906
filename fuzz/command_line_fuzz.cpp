// The command-line scan on any bytes, of any length, against a plain scan that follows the
// rules step by step: the same options, the same path, the same buffer after splitting, and
// nothing written outside the command line's own text or the path buffer.
#include "launcher/command_line.h"
#include "fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct Scan {
    bool settings = false;
    bool about = false;
    bool noFile = false;
    std::string path;
    std::string split; // the command line after its separators and closing quotes became NUL
};

// Left to right, one token at a time. An unclosed quote runs to the end of the text; a last
// token longer than the path buffer can hold names no file.
Scan ReferenceScan(const std::string& line) {
    Scan scan;
    scan.split = line;
    size_t position = 0;
    bool valueNext = false; // the token after an option that takes a value is that value
    while (position < line.size()) {
        size_t start = position;
        size_t end;
        size_t next;
        if (line[position] == '"') {
            start = position + 1;
            end = line.find('"', start);
        } else {
            end = line.find_first_of(" \t", position);
        }
        if (end == std::string::npos) {
            end = line.size();
            next = line.size();
        } else {
            scan.split[end] = '\0';
            next = end + 1;
        }
        const std::string token = line.substr(start, end - start);
        if (valueNext) {
            valueNext = false;
        } else if (token == "--printer" || token == "--delay" || token == "--attempts" ||
                   token == "--timeout" || token == "--result" || token == "--confirm" ||
                   token == "--watch") {
            valueNext = true;
        } else if (token == "-q" || token == "--quiet" || token == "--stop" || token == "--keep") {
        } else if (token == "-s" || token == "--settings") {
            scan.settings = true;
        } else if (token == "-?" || token == "--about") {
            scan.about = true;
        } else if (token == "-n" || token == "--nofile") {
            scan.noFile = true;
        } else if (next == line.size() && token.size() <= static_cast<size_t>(kMaxPathLength)) {
            scan.path = token;
        }
        position = next;
    }
    return scan;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the input and its NUL, so that a write or read past either end is caught.
    std::unique_ptr<char[]> commandLine(new char[size + 1]);
    std::memcpy(commandLine.get(), data, size);
    commandLine[size] = '\0';
    const std::string line(commandLine.get()); // the command line ends at its first NUL

    LaunchOptions options;
    std::memset(&options, 0x5a, sizeof(options)); // the scan must clear what it does not set
    ScanCommandLine(commandLine.get(), &options);

    const Scan expected = ReferenceScan(line);
    fuzz::Check(options.settings == expected.settings, "settings flag");
    fuzz::Check(options.about == expected.about, "about flag");
    fuzz::Check(options.noFile == expected.noFile, "no-file flag");
    const size_t pathLength = strnlen(options.path, sizeof(options.path));
    fuzz::Check(pathLength < sizeof(options.path), "path not terminated inside its buffer");
    fuzz::CheckEqual(std::string(options.path, pathLength), expected.path, "path");
    for (size_t i = pathLength; i < sizeof(options.path); ++i) {
        fuzz::Check(options.path[i] == '\0', "path buffer not zero-filled behind the path");
    }
    fuzz::Check(pathLength == 0 || line.find(options.path) != std::string::npos,
                "path is not text of the command line");

    fuzz::CheckEqual(std::string(commandLine.get(), line.size()), expected.split,
                     "command line after the scan");
    // Bytes behind the first NUL are not the command line's and stay as they were.
    fuzz::Check(
        std::memcmp(commandLine.get() + line.size(), data + line.size(), size - line.size()) == 0,
        "bytes behind the command line changed");
    return 0;
}
