// The printer-target parser on any text, against a plain parser that follows the rules step
// by step: the same targets accepted with the same fields, a sentence for every refusal, and
// every accepted target written back whole as a URI that parses to the same target.
#include "core/printer_target.h"
#include "fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace {

struct Expected {
    TargetKind kind = TargetKind::Stored;
    std::string host;
    unsigned port = 0;
    std::string name;
    unsigned long baud = 0;
    unsigned bits = 0;
    int parity = 0;
    int stop = 0;
};

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

bool AllOf(const std::string& text, const char* allowed) {
    return text.find_first_not_of(allowed) == std::string::npos;
}

const char kDigits[] = "0123456789";

// Decimal digits only, at most `highest`.
std::optional<unsigned long> Number(const std::string& text, unsigned long highest) {
    if (text.empty() || !AllOf(text, kDigits)) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (char c : text) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > highest) {
            return std::nullopt;
        }
    }
    return value;
}

std::optional<std::string> Decode(const std::string& text, std::size_t capacity) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        const char* hex = "0123456789abcdef";
        std::string pair = i + 2 < text.size() ? Lower(text.substr(i + 1, 2)) : "";
        if (pair.size() != 2 || !AllOf(pair, hex)) {
            return std::nullopt;
        }
        long value = (std::strchr(hex, pair[0]) - hex) * 16 + (std::strchr(hex, pair[1]) - hex);
        auto c = static_cast<char>(value);
        if (c == '\0') {
            return std::nullopt;
        }
        decoded += c;
        i += 2;
    }
    if (decoded.size() >= capacity) {
        return std::nullopt;
    }
    return decoded;
}

const char kHostCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_";

std::optional<Expected> Socket(std::string rest) {
    Expected e;
    e.kind = TargetKind::Socket;
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    std::string after;
    if (!rest.empty() && rest[0] == '[') {
        std::size_t closing = rest.find(']');
        if (closing == std::string::npos) {
            return std::nullopt;
        }
        auto host = Decode(rest.substr(1, closing - 1), kHostBufferSize);
        if (!host) {
            return std::nullopt;
        }
        std::size_t percent = host->find('%');
        std::string address = host->substr(0, percent);
        if (address.empty() || !AllOf(address, "0123456789abcdefABCDEF:.") ||
            address.find(':') == std::string::npos) {
            return std::nullopt;
        }
        if (percent != std::string::npos) {
            std::string zone = host->substr(percent + 1);
            if (zone.empty() || !AllOf(zone, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789-._~")) {
                return std::nullopt;
            }
        }
        e.host = *host;
        after = rest.substr(closing + 1);
    } else {
        std::size_t colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
            return std::nullopt;
        }
        auto host = Decode(rest.substr(0, colon), kHostBufferSize);
        if (!host || host->empty() || !AllOf(*host, kHostCharacters)) {
            return std::nullopt;
        }
        e.host = *host;
        after = colon == std::string::npos ? "" : rest.substr(colon);
    }
    e.port = 9100;
    if (after.empty()) {
        return e;
    }
    auto port = after[0] == ':' ? Number(after.substr(1), 65535) : std::nullopt;
    if (!port || *port == 0) {
        return std::nullopt;
    }
    e.port = static_cast<unsigned>(*port);
    return e;
}

bool Setting(const std::string& setting, Expected* e) {
    std::size_t equals = setting.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    std::string key = Lower(setting.substr(0, equals));
    std::string value = setting.substr(equals + 1);
    if (key == "baud") {
        auto baud = Number(value, 4000000);
        e->baud = baud ? *baud : 0;
        return e->baud != 0;
    }
    if (key == "bits") {
        auto bits = Number(value, 8);
        e->bits = bits ? static_cast<unsigned>(*bits) : 0;
        return e->bits >= 5;
    }
    const char* parities[] = {"none", "odd", "even", "mark", "space"};
    const char* stops[] = {"1", "1.5", "2"};
    const char** names = key == "parity" ? parities : key == "stop" ? stops : nullptr;
    int count = key == "parity" ? 5 : 3;
    for (int i = 0; names != nullptr && i < count; ++i) {
        if (Lower(value) == names[i]) {
            (key == "parity" ? e->parity : e->stop) = i;
            return true;
        }
    }
    return false;
}

std::optional<Expected> Port(TargetKind kind, const std::string& rest) {
    Expected e;
    e.kind = kind;
    bool serial = kind == TargetKind::Serial;
    std::size_t query = rest.find('?');
    std::string name = rest.substr(0, query);
    std::string prefix = serial ? "com" : "lpt";
    std::string digits = name.size() > 3 ? name.substr(3) : "";
    auto number = Number(digits, serial ? 256 : 9);
    if (Lower(name.substr(0, 3)) != prefix || !number || digits[0] == '0') {
        return std::nullopt;
    }
    e.name = (serial ? "COM" : "LPT") + std::to_string(*number);
    if (serial) {
        e.baud = 9600;
        e.bits = 8;
    }
    if (query == std::string::npos) {
        return e;
    }
    if (!serial) {
        return std::nullopt;
    }
    std::string settings = rest.substr(query + 1);
    for (std::size_t start = 0;;) {
        std::size_t end = settings.find('&', start);
        if (!Setting(settings.substr(start, end - start), &e)) {
            return std::nullopt;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    bool refused =
        (e.stop == TWOSTOPBITS && e.bits == 5) || (e.stop == ONE5STOPBITS && e.bits != 5);
    return refused ? std::nullopt : std::optional<Expected>(e);
}

std::optional<Expected> Reference(const std::string& text) {
    const struct {
        const char* prefix;
        TargetKind kind;
    } schemes[] = {{"socket://", TargetKind::Socket},
                   {"serial:", TargetKind::Serial},
                   {"parallel:", TargetKind::Parallel},
                   {"driver:", TargetKind::Driver},
                   {"raw:", TargetKind::RawQueue}};
    for (const auto& scheme : schemes) {
        std::size_t length = std::strlen(scheme.prefix);
        if (Lower(text.substr(0, length)) != scheme.prefix) {
            continue;
        }
        std::string rest = text.substr(length);
        if (scheme.kind == TargetKind::Socket) {
            return Socket(rest);
        }
        if (scheme.kind == TargetKind::Serial || scheme.kind == TargetKind::Parallel) {
            return Port(scheme.kind, rest);
        }
        auto name = Decode(rest, kTextBufferSize);
        if (!name || name->empty()) {
            return std::nullopt;
        }
        Expected e;
        e.kind = scheme.kind;
        e.name = *name;
        return e;
    }
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str(); // the target ends at its first NUL

    PrinterTarget target;
    std::memset(&target, 0x5a, sizeof target); // the parser must clear what it does not set
    char problem[kTextBufferSize];
    std::memset(problem, 0x5a, sizeof problem);
    bool parsed = ParsePrinterTarget(text.c_str(), &target, problem, sizeof problem);

    std::optional<Expected> expected = Reference(text);
    fuzz::Check(parsed == expected.has_value(), "accepted or refused");
    fuzz::Check(std::memchr(problem, '\0', sizeof problem) != nullptr, "problem not terminated");
    if (!parsed) {
        PrinterTarget cleared;
        std::memset(&cleared, 0, sizeof cleared);
        fuzz::Check(problem[0] != '\0', "a refusal without a sentence");
        fuzz::Check(std::memcmp(&target, &cleared, sizeof target) == 0,
                    "refused target not cleared");
        return 0;
    }
    fuzz::Check(problem[0] == '\0', "a sentence for a target accepted");
    fuzz::Check(target.kind == expected->kind, "kind");
    fuzz::Check(std::memchr(target.host, '\0', sizeof target.host) != nullptr, "host terminated");
    fuzz::Check(std::memchr(target.name, '\0', sizeof target.name) != nullptr, "name terminated");
    fuzz::CheckEqual(target.host, expected->host, "host");
    fuzz::CheckEqual(target.name, expected->name, "name");
    fuzz::Check(target.port == expected->port, "port");
    fuzz::Check(target.baudRate == expected->baud, "baud rate");
    fuzz::Check(target.dataBits == expected->bits, "data bits");
    fuzz::Check(target.parity == expected->parity, "parity");
    fuzz::Check(target.stopBits == expected->stop, "stop bits");

    // Written back whole, it reads as the same target.
    char uri[kTargetUriSize];
    FormatPrinterTarget(&target, uri, sizeof uri);
    fuzz::Check(std::strlen(uri) + 1 < sizeof uri, "URI filled its buffer");
    PrinterTarget again;
    fuzz::Check(ParsePrinterTarget(uri, &again, problem, sizeof problem), "URI refused");
    fuzz::Check(std::memcmp(&again, &target, sizeof target) == 0, "URI reads as another target");
    // A smaller buffer holds the start of the same URI.
    std::size_t small = 1 + (size > 0 ? data[0] : 0);
    char cut[256];
    std::memset(cut, 0x5a, sizeof cut);
    FormatPrinterTarget(&target, cut, small);
    fuzz::Check(std::memchr(cut, '\0', small) != nullptr, "cut URI not terminated");
    fuzz::Check(std::strncmp(cut, uri, std::strlen(cut)) == 0, "cut URI is not the URI's start");
    return 0;
}
