// Printer targets in the form of device URIs: the scheme names the way to the printer, the
// rest names the printer and, for a serial port, its line settings.
#include "core/printer_target.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned short kSocketDefaultPort = 9100;
constexpr DWORD kDefaultBaudRate = 9600;
constexpr DWORD kHighestBaudRate = 4000000;

struct Scheme {
    const char* prefix;
    TargetKind kind;
};

const Scheme kSchemes[] = {
    {"socket://", TargetKind::Socket},   {"serial:", TargetKind::Serial},
    {"parallel:", TargetKind::Parallel}, {"driver:", TargetKind::Driver},
    {"raw:", TargetKind::RawQueue},
};

struct NamedByte {
    const char* name;
    BYTE value;
};

const NamedByte kParities[] = {
    {"none", NOPARITY},   {"odd", ODDPARITY},     {"even", EVENPARITY},
    {"mark", MARKPARITY}, {"space", SPACEPARITY},
};

const NamedByte kStopBits[] = {{"1", ONESTOPBIT}, {"1.5", ONE5STOPBITS}, {"2", TWOSTOPBITS}};

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares the first `length` characters of text with lower-case `word`, ignoring case.
bool SameIgnoringCase(const char* text, std::size_t length, const char* word) {
    if (std::strlen(word) != length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (LowerAscii(text[i]) != word[i]) {
            return false;
        }
    }
    return true;
}

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
    std::size_t length = std::strlen(prefix);
    return std::strlen(text) >= length && SameIgnoringCase(text, length, prefix);
}

// Decimal digits only, no sign, at most `highest`; false for anything else.
bool ReadDecimal(const char* text, std::size_t length, unsigned long highest,
                 unsigned long* value) {
    if (length == 0) {
        return false;
    }
    unsigned long result = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        result = result * 10 + static_cast<unsigned long>(text[i] - '0');
        if (result > highest) {
            return false;
        }
    }
    *value = result;
    return true;
}

bool Fail(char* problem, std::size_t problemSize, const char* format, const char* text) {
    std::snprintf(problem, problemSize, format, text);
    return false;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    char lower = LowerAscii(c);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

enum class Decoding { Done, BadPercent, Nul, TooLong };

// Decodes %XX in the first `length` bytes of text into decoded (size bytes, NUL-terminated),
// as device URIs are written.
Decoding DecodePercents(const char* text, std::size_t length, char* decoded, std::size_t size,
                        std::size_t* decodedLength) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '%') {
            int high = i + 2 < length ? HexValue(text[i + 1]) : -1;
            int low = i + 2 < length ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                return Decoding::BadPercent;
            }
            c = static_cast<char>(high * 16 + low);
            if (c == '\0') {
                return Decoding::Nul;
            }
            i += 2;
        }
        if (out + 1 >= size) {
            return Decoding::TooLong;
        }
        decoded[out++] = c;
    }
    decoded[out] = '\0';
    *decodedLength = out;
    return Decoding::Done;
}

// The sentence for a decoding that failed; tooLong names what was too long.
bool FailDecoding(Decoding decoding, const char* whole, const char* tooLong, char* problem,
                  std::size_t problemSize) {
    switch (decoding) {
    case Decoding::BadPercent:
        return Fail(problem, problemSize,
                    "The printer target \"%s\" has a %% not followed by two hexadecimal "
                    "digits: write %%25 for a %% sign.",
                    whole);
    case Decoding::Nul:
        return Fail(problem, problemSize,
                    "The printer target \"%s\" has %%00 in it, which no name can hold.", whole);
    case Decoding::TooLong:
    case Decoding::Done:
        break;
    }
    return Fail(problem, problemSize, tooLong, whole);
}

// Percent-encodes what a device URI cannot carry as it is: the % sign and control characters.
void EncodePercents(const char* text, char* encoded, std::size_t size) {
    static const char kHex[] = "0123456789ABCDEF";
    std::size_t out = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        auto byte = static_cast<unsigned char>(*c);
        bool plain = byte != '%' && byte >= 0x20 && byte != 0x7F;
        std::size_t needed = plain ? 1 : 3;
        if (out + needed >= size) {
            break;
        }
        if (plain) {
            encoded[out++] = *c;
        } else {
            encoded[out++] = '%';
            encoded[out++] = kHex[byte >> 4];
            encoded[out++] = kHex[byte & 0x0F];
        }
    }
    if (size > 0) {
        encoded[out] = '\0';
    }
}

// A host name or IPv4 address: letters, digits, dots, hyphens and underscores.
bool IsHostNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool IsIPv6Character(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
}

// An IPv6 zone (RFC 6874): letters, digits and "-._~".
bool IsZoneCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// The decoded text between [ and ]: an IPv6 address, then perhaps "%ZONE".
bool CheckIPv6Host(const char* whole, const char* host, std::size_t hostLength, char* problem,
                   std::size_t problemSize) {
    const char* percent = static_cast<const char*>(std::memchr(host, '%', hostLength));
    std::size_t addressLength =
        percent != nullptr ? static_cast<std::size_t>(percent - host) : hostLength;
    for (std::size_t i = 0; i < addressLength; ++i) {
        if (!IsIPv6Character(host[i])) {
            return Fail(problem, problemSize,
                        "The printer target \"%s\" has something other than an IPv6 "
                        "address between [ and ].",
                        whole);
        }
    }
    if (addressLength == 0 || std::memchr(host, ':', addressLength) == nullptr) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" has no IPv6 address between [ and ].", whole);
    }
    if (percent == nullptr) {
        return true;
    }
    std::size_t zoneLength = hostLength - addressLength - 1;
    for (std::size_t i = 0; i < zoneLength; ++i) {
        if (!IsZoneCharacter(percent[1 + i])) {
            zoneLength = 0;
        }
    }
    if (zoneLength == 0) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" has no zone of letters and digits after %%25 "
                    "(write socket://[fe80::12%%2512] for interface 12).",
                    whole);
    }
    return true;
}

bool ParseSocketTarget(const char* whole, const char* rest, PrinterTarget* target, char* problem,
                       std::size_t problemSize) {
    static const char kHostTooLong[] = "The printer target \"%s\" names a host too long.";
    std::size_t length = std::strlen(rest);
    // A trailing slash is how such addresses are often written; nothing may follow it.
    if (length > 0 && rest[length - 1] == '/') {
        --length;
    }
    const char* host = rest;
    std::size_t hostLength = 0;
    const char* after = nullptr;
    if (rest[0] == '[') {
        const char* closing = std::strchr(rest, ']');
        if (closing == nullptr || closing >= rest + length) {
            return Fail(problem, problemSize,
                        "The printer target \"%s\" opens an IPv6 address with [ but never "
                        "closes it with ].",
                        whole);
        }
        host = rest + 1;
        hostLength = static_cast<std::size_t>(closing - host);
        after = closing + 1;
    } else {
        while (hostLength < length && rest[hostLength] != ':') {
            ++hostLength;
        }
        after = rest + hostLength;
        if (hostLength < length &&
            std::memchr(after + 1, ':', length - hostLength - 1) != nullptr) {
            return Fail(problem, problemSize,
                        "The printer target \"%s\" has an IPv6 address not between [ and ]: "
                        "write socket://[ADDRESS]:PORT.",
                        whole);
        }
        if (hostLength == 0) {
            return Fail(problem, problemSize,
                        "The printer target \"%s\" names no host: write socket://HOST or "
                        "socket://HOST:PORT.",
                        whole);
        }
    }
    std::size_t decodedLength = 0;
    Decoding decoding =
        DecodePercents(host, hostLength, target->host, sizeof target->host, &decodedLength);
    if (decoding != Decoding::Done) {
        return FailDecoding(decoding, whole, kHostTooLong, problem, problemSize);
    }
    if (rest[0] == '[') {
        if (!CheckIPv6Host(whole, target->host, decodedLength, problem, problemSize)) {
            return false;
        }
    } else {
        for (std::size_t i = 0; i < decodedLength; ++i) {
            if (!IsHostNameCharacter(target->host[i])) {
                return Fail(problem, problemSize,
                            "The printer target \"%s\" names a host with characters a host "
                            "name cannot have.",
                            whole);
            }
        }
    }

    target->port = kSocketDefaultPort;
    std::size_t afterLength = length - static_cast<std::size_t>(after - rest);
    if (afterLength == 0) {
        return true;
    }
    if (after[0] != ':') {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" has something after the host that is not a port "
                    "(an IPv6 address goes between [ and ]).",
                    whole);
    }
    unsigned long port = 0;
    if (!ReadDecimal(after + 1, afterLength - 1, 65535, &port) || port == 0) {
        return Fail(problem, problemSize,
                    "The port in the printer target \"%s\" must be a number from 1 to 65535.",
                    whole);
    }
    target->port = static_cast<unsigned short>(port);
    return true;
}

bool FindNamedByte(const NamedByte* table, std::size_t count, const char* text, std::size_t length,
                   BYTE* value) {
    for (std::size_t i = 0; i < count; ++i) {
        if (SameIgnoringCase(text, length, table[i].name)) {
            *value = table[i].value;
            return true;
        }
    }
    return false;
}

// One "key=value" of a serial target's query.
bool ApplySerialSetting(const char* whole, const char* setting, std::size_t length,
                        PrinterTarget* target, char* problem, std::size_t problemSize) {
    const char* equals = static_cast<const char*>(std::memchr(setting, '=', length));
    if (equals == nullptr) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" has a line setting without '=': write "
                    "baud=9600&bits=8&parity=none&stop=1.",
                    whole);
    }
    auto keyLength = static_cast<std::size_t>(equals - setting);
    const char* value = equals + 1;
    std::size_t valueLength = length - keyLength - 1;
    unsigned long number = 0;
    if (SameIgnoringCase(setting, keyLength, "baud")) {
        if (!ReadDecimal(value, valueLength, kHighestBaudRate, &number) || number == 0) {
            return Fail(problem, problemSize,
                        "The baud rate in the printer target \"%s\" must be a number from 1 "
                        "to 4000000.",
                        whole);
        }
        target->baudRate = static_cast<DWORD>(number);
        return true;
    }
    if (SameIgnoringCase(setting, keyLength, "bits")) {
        if (!ReadDecimal(value, valueLength, 8, &number) || number < 5) {
            return Fail(problem, problemSize,
                        "The data bits in the printer target \"%s\" must be 5, 6, 7 or 8.", whole);
        }
        target->dataBits = static_cast<BYTE>(number);
        return true;
    }
    if (SameIgnoringCase(setting, keyLength, "parity")) {
        if (!FindNamedByte(kParities, sizeof(kParities) / sizeof(kParities[0]), value, valueLength,
                           &target->parity)) {
            return Fail(problem, problemSize,
                        "The parity in the printer target \"%s\" must be none, odd, even, mark "
                        "or space.",
                        whole);
        }
        return true;
    }
    if (SameIgnoringCase(setting, keyLength, "stop")) {
        if (!FindNamedByte(kStopBits, sizeof(kStopBits) / sizeof(kStopBits[0]), value, valueLength,
                           &target->stopBits)) {
            return Fail(problem, problemSize,
                        "The stop bits in the printer target \"%s\" must be 1, 1.5 or 2.", whole);
        }
        return true;
    }
    return Fail(problem, problemSize,
                "The printer target \"%s\" has a line setting other than baud, bits, parity "
                "and stop.",
                whole);
}

// COMn or LPTn (any case, no leading zero) into name as "COMn" / "LPTn": the names a port
// has on Windows, which never name a file. False for anything else.
bool ReadPortName(const char* text, std::size_t length, const char* prefix, unsigned long highest,
                  char* name, std::size_t nameSize) {
    unsigned long number = 0;
    if (length < 4 || !SameIgnoringCase(text, 3, prefix) || text[3] == '0' ||
        !ReadDecimal(text + 3, length - 3, highest, &number) || number == 0) {
        return false;
    }
    std::snprintf(name, nameSize, "%c%c%c%lu", prefix[0] - 'a' + 'A', prefix[1] - 'a' + 'A',
                  prefix[2] - 'a' + 'A', number);
    return true;
}

// The line settings Windows refuses whatever the port.
bool CheckLineSettings(const char* whole, const PrinterTarget* target, char* problem,
                       std::size_t problemSize) {
    if (target->stopBits == TWOSTOPBITS && target->dataBits == 5) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" asks for 2 stop bits with 5 data bits, which "
                    "Windows refuses: 5 data bits take 1 or 1.5 stop bits.",
                    whole);
    }
    if (target->stopBits == ONE5STOPBITS && target->dataBits != 5) {
        std::snprintf(problem, problemSize,
                      "The printer target \"%s\" asks for 1.5 stop bits with %u data bits, "
                      "which Windows refuses: 1.5 stop bits go with 5 data bits only.",
                      whole, static_cast<unsigned int>(target->dataBits));
        return false;
    }
    return true;
}

// serial:COMn[?settings] and parallel:LPTn.
bool ParsePortTarget(const char* whole, const char* rest, PrinterTarget* target, char* problem,
                     std::size_t problemSize) {
    bool serial = target->kind == TargetKind::Serial;
    const char* query = std::strchr(rest, '?');
    std::size_t nameLength =
        query != nullptr ? static_cast<std::size_t>(query - rest) : std::strlen(rest);
    if (nameLength == 0) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" names no port or printer after the colon.", whole);
    }
    if (serial && !ReadPortName(rest, nameLength, "com", 256, target->name, sizeof target->name)) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" names no serial port: write COM1 to COM256.", whole);
    }
    if (!serial && !ReadPortName(rest, nameLength, "lpt", 9, target->name, sizeof target->name)) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" names no parallel port: write LPT1 to LPT9.", whole);
    }
    if (serial) {
        target->baudRate = kDefaultBaudRate;
        target->dataBits = 8;
        target->parity = NOPARITY;
        target->stopBits = ONESTOPBIT;
    }
    if (query == nullptr) {
        return true;
    }
    if (!serial) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" gives a parallel port settings it does not "
                    "take.",
                    whole);
    }
    const char* setting = query + 1;
    for (;;) {
        const char* end = std::strchr(setting, '&');
        std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - setting) : std::strlen(setting);
        if (!ApplySerialSetting(whole, setting, length, target, problem, problemSize)) {
            return false;
        }
        if (end == nullptr) {
            return CheckLineSettings(whole, target, problem, problemSize);
        }
        setting = end + 1;
    }
}

// driver:NAME and raw:NAME, percent-decoded.
bool ParseQueueTarget(const char* whole, const char* rest, PrinterTarget* target, char* problem,
                      std::size_t problemSize) {
    std::size_t length = std::strlen(rest);
    if (length == 0) {
        return Fail(problem, problemSize,
                    "The printer target \"%s\" names no port or printer after the colon.", whole);
    }
    std::size_t decodedLength = 0;
    Decoding decoding =
        DecodePercents(rest, length, target->name, sizeof target->name, &decodedLength);
    if (decoding != Decoding::Done) {
        return FailDecoding(decoding, whole,
                            "The printer target \"%s\" names a port or printer too long.", problem,
                            problemSize);
    }
    return true;
}

} // namespace

bool ParsePrinterTarget(const char* text, PrinterTarget* target, char* problem,
                        std::size_t problemSize) {
    std::memset(target, 0, sizeof(*target));
    if (problemSize > 0) {
        problem[0] = '\0';
    }
    for (const Scheme& scheme : kSchemes) {
        if (!StartsWithIgnoringCase(text, scheme.prefix)) {
            continue;
        }
        target->kind = scheme.kind;
        const char* rest = text + std::strlen(scheme.prefix);
        bool parsed = false;
        switch (scheme.kind) {
        case TargetKind::Socket:
            parsed = ParseSocketTarget(text, rest, target, problem, problemSize);
            break;
        case TargetKind::Serial:
        case TargetKind::Parallel:
            parsed = ParsePortTarget(text, rest, target, problem, problemSize);
            break;
        default:
            parsed = ParseQueueTarget(text, rest, target, problem, problemSize);
            break;
        }
        if (!parsed) {
            std::memset(target, 0, sizeof(*target));
        }
        return parsed;
    }
    return Fail(problem, problemSize,
                "The printer target \"%s\" is not one of socket://HOST[:PORT], serial:PORT, "
                "parallel:PORT, driver:PRINTER or raw:PRINTER.",
                text);
}

bool IsPrinterName(const char* text) {
    return text[0] != '\0' && std::strchr(text, ':') == nullptr;
}

void FormatPrinterTarget(const PrinterTarget* target, char* text, std::size_t size) {
    if (size == 0) {
        return;
    }
    switch (target->kind) {
    case TargetKind::Stored:
    case TargetKind::Named:
        text[0] = '\0';
        return;
    case TargetKind::Socket: {
        bool ipv6 = std::strchr(target->host, ':') != nullptr;
        char host[3 * kHostBufferSize];
        EncodePercents(target->host, host, sizeof host);
        std::snprintf(text, size, ipv6 ? "socket://[%s]:%u" : "socket://%s:%u", host,
                      static_cast<unsigned int>(target->port));
        return;
    }
    case TargetKind::Serial: {
        const char* parity = "none";
        for (const NamedByte& entry : kParities) {
            if (entry.value == target->parity) {
                parity = entry.name;
            }
        }
        const char* stopBits = "1";
        for (const NamedByte& entry : kStopBits) {
            if (entry.value == target->stopBits) {
                stopBits = entry.name;
            }
        }
        std::snprintf(text, size, "serial:%s?baud=%lu&bits=%u&parity=%s&stop=%s", target->name,
                      static_cast<unsigned long>(target->baudRate),
                      static_cast<unsigned int>(target->dataBits), parity, stopBits);
        return;
    }
    case TargetKind::Parallel:
        std::snprintf(text, size, "parallel:%s", target->name);
        return;
    case TargetKind::Driver:
    case TargetKind::RawQueue: {
        char name[3 * kTextBufferSize];
        EncodePercents(target->name, name, sizeof name);
        std::snprintf(text, size, target->kind == TargetKind::Driver ? "driver:%s" : "raw:%s",
                      name);
        return;
    }
    }
    text[0] = '\0';
}
