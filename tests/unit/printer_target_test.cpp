// Printer targets: every form with its defaults written back, and the texts refused with what
// their message names.
#include "core/printer_target.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Repeat(const std::string& part, int times) {
    std::string whole;
    for (int i = 0; i < times; ++i) {
        whole += part;
    }
    return whole;
}

struct TargetCase {
    const char* text;
    TargetKind kind;
    const char* host; // Socket
    unsigned short port;
    const char* name; // the other kinds
    DWORD baud;
    int bits;
    int parity;
    int stopBits;
    const char* written; // FormatPrinterTarget's text
};

const TargetCase kTargets[] = {
    {"socket://10.0.0.5", TargetKind::Socket, "10.0.0.5", 9100, "", 0, 0, 0, 0,
     "socket://10.0.0.5:9100"},
    {"socket://10.0.0.5:6101", TargetKind::Socket, "10.0.0.5", 6101, "", 0, 0, 0, 0,
     "socket://10.0.0.5:6101"},
    {"SOCKET://printer-3.lab.example:1/", TargetKind::Socket, "printer-3.lab.example", 1, "", 0, 0,
     0, 0, "socket://printer-3.lab.example:1"},
    {"socket://[::1]", TargetKind::Socket, "::1", 9100, "", 0, 0, 0, 0, "socket://[::1]:9100"},
    {"socket://[fe80::1:2]:65535", TargetKind::Socket, "fe80::1:2", 65535, "", 0, 0, 0, 0,
     "socket://[fe80::1:2]:65535"},
    {"socket://[::ffff:10.0.0.5]:9100/", TargetKind::Socket, "::ffff:10.0.0.5", 9100, "", 0, 0, 0,
     0, "socket://[::ffff:10.0.0.5]:9100"},
    {"serial:COM3", TargetKind::Serial, "", 0, "COM3", 9600, 8, NOPARITY, ONESTOPBIT,
     "serial:COM3?baud=9600&bits=8&parity=none&stop=1"},
    {"serial:COM10?baud=19200&bits=7&parity=Even&stop=2", TargetKind::Serial, "", 0, "COM10", 19200,
     7, EVENPARITY, TWOSTOPBITS, "serial:COM10?baud=19200&bits=7&parity=even&stop=2"},
    {"Serial:com12?stop=1.5&parity=space&baud=115200&bits=5", TargetKind::Serial, "", 0, "COM12",
     115200, 5, SPACEPARITY, ONE5STOPBITS, "serial:COM12?baud=115200&bits=5&parity=space&stop=1.5"},
    {"serial:COM256?bits=5&stop=1", TargetKind::Serial, "", 0, "COM256", 9600, 5, NOPARITY,
     ONESTOPBIT, "serial:COM256?baud=9600&bits=5&parity=none&stop=1"},
    {"serial:cOm1?bits=6&stop=2", TargetKind::Serial, "", 0, "COM1", 9600, 6, NOPARITY, TWOSTOPBITS,
     "serial:COM1?baud=9600&bits=6&parity=none&stop=2"},
    {"serial:COM1?parity=odd&parity=mark", TargetKind::Serial, "", 0, "COM1", 9600, 8, MARKPARITY,
     ONESTOPBIT, "serial:COM1?baud=9600&bits=8&parity=mark&stop=1"},
    {"parallel:LPT1", TargetKind::Parallel, "", 0, "LPT1", 0, 0, 0, 0, "parallel:LPT1"},
    {"PARALLEL:lpt9", TargetKind::Parallel, "", 0, "LPT9", 0, 0, 0, 0, "parallel:LPT9"},
    {"driver:Zebra ZP 450 (copy 2)", TargetKind::Driver, "", 0, "Zebra ZP 450 (copy 2)", 0, 0, 0, 0,
     "driver:Zebra ZP 450 (copy 2)"},
    // Percent-encoding as in device URIs: decoded, and a % or control character written back
    // encoded; hexadecimal digits in either case.
    {"driver:Zebra%20ZP%20450", TargetKind::Driver, "", 0, "Zebra ZP 450", 0, 0, 0, 0,
     "driver:Zebra ZP 450"},
    {"raw:Label%2510%25%0aQueue%7e%E9", TargetKind::RawQueue, "", 0, "Label%10%\nQueue~\xE9", 0, 0,
     0, 0, "raw:Label%2510%25%0AQueue~\xE9"},
    {"socket://printer%2D3:9100", TargetKind::Socket, "printer-3", 9100, "", 0, 0, 0, 0,
     "socket://printer-3:9100"},
    // An IPv6 zone (RFC 6874): an interface index as Windows takes it, a name as Linux does.
    {"socket://[fe80::12%2512]", TargetKind::Socket, "fe80::12%12", 9100, "", 0, 0, 0, 0,
     "socket://[fe80::12%2512]:9100"},
    {"socket://[FE80::1%25eth0.5]:6101/", TargetKind::Socket, "FE80::1%eth0.5", 6101, "", 0, 0, 0,
     0, "socket://[FE80::1%25eth0.5]:6101"},
    {"driver:\\\\server\\Label?s", TargetKind::Driver, "", 0, "\\\\server\\Label?s", 0, 0, 0, 0,
     "driver:\\\\server\\Label?s"},
    {"raw:Label Queue", TargetKind::RawQueue, "", 0, "Label Queue", 0, 0, 0, 0, "raw:Label Queue"},
};

TEST(PrinterTargetTest, ParsesEveryFormAndWritesItBackWithItsDefaults) {
    for (const TargetCase& c : kTargets) {
        SCOPED_TRACE(c.text);
        PrinterTarget target;
        char problem[kTextBufferSize] = "untouched";
        ASSERT_TRUE(ParsePrinterTarget(c.text, &target, problem, sizeof(problem)));
        EXPECT_STREQ(problem, "");
        EXPECT_EQ(target.kind, c.kind);
        EXPECT_STREQ(target.host, c.host);
        EXPECT_EQ(target.port, c.port);
        EXPECT_STREQ(target.name, c.name);
        EXPECT_EQ(target.baudRate, c.baud);
        EXPECT_EQ(target.dataBits, c.bits);
        EXPECT_EQ(target.parity, c.parity);
        EXPECT_EQ(target.stopBits, c.stopBits);
        char written[kTextBufferSize];
        FormatPrinterTarget(&target, written, sizeof(written));
        EXPECT_STREQ(written, c.written);
        PrinterTarget again;
        ASSERT_TRUE(ParsePrinterTarget(written, &again, problem, sizeof(problem)));
        EXPECT_EQ(std::memcmp(&again, &target, sizeof target), 0);
    }
}

struct RefusedCase {
    const char* text;
    const char* problemPart; // a part of the message that says what is wrong
};

const RefusedCase kRefused[] = {
    {"", "is not one of socket://HOST[:PORT], serial:PORT"},
    {"10.0.0.5:9100", "is not one of"},
    {"socket:10.0.0.5", "is not one of"},
    {"ipp://printer/queue", "is not one of"},
    {"socket://", "names no host"},
    {"socket://:9100", "names no host"},
    {"socket://10.0.0.5:", "must be a number from 1 to 65535"},
    {"socket://10.0.0.5:0", "must be a number from 1 to 65535"},
    {"socket://10.0.0.5:65536", "must be a number from 1 to 65535"},
    {"socket://10.0.0.5:+91", "must be a number from 1 to 65535"},
    {"socket://10.0.0.5:9100x", "must be a number from 1 to 65535"},
    {"socket://10.0.0.5:9100//", "must be a number from 1 to 65535"},
    {"socket://::1", "IPv6 address not between [ and ]"},
    {"socket://::1:9100", "IPv6 address not between [ and ]"},
    {"socket://fe80::1", "IPv6 address not between [ and ]"},
    {"socket://[::1", "never closes it with ]"},
    {"socket://[]:9100", "no IPv6 address between [ and ]"},
    {"socket://[10.0.0.5]", "no IPv6 address between [ and ]"},
    {"socket://[::1]x", "not a port"},
    {"socket://[fe80::1%eth0]", "not followed by two hexadecimal digits"},
    {"socket://[fe80::1%25]", "no zone of letters and digits after %25"},
    {"socket://[fe80::1%25eth%200]", "no zone of letters and digits after %25"},
    {"socket://[%25eth0]", "no IPv6 address between [ and ]"},
    {"socket://[fe80::1%2512%2513]", "no zone of letters and digits"},
    {"socket://[fe80::1%2F64]", "other than an IPv6 address"},
    {"socket://host%3A9100", "characters a host name cannot have"},
    {"socket://host%2", "not followed by two hexadecimal digits"},
    {"socket://host%00", "%00 in it"},
    {"driver:Zebra%", "not followed by two hexadecimal digits"},
    {"driver:Zebra%2", "not followed by two hexadecimal digits"},
    {"driver:Zebra%G0", "not followed by two hexadecimal digits"},
    {"driver:100% Zebra", "not followed by two hexadecimal digits"},
    {"raw:Label%00Queue", "%00 in it"},
    {"socket://print er", "characters a host name cannot have"},
    {"socket://host/queue", "characters a host name cannot have"},
    {"socket://host?waiteof=false", "characters a host name cannot have"},
    {"serial:", "names no port or printer"},
    {"serial:?baud=9600", "names no port or printer"},
    {"parallel:", "names no port or printer"},
    // A port, never a file or another device.
    {"parallel:LTP1", "names no parallel port: write LPT1 to LPT9"},
    {"parallel:important.txt", "names no parallel port"},
    {"parallel:LPT0", "names no parallel port"},
    {"parallel:LPT10", "names no parallel port"},
    {"parallel:LPT01", "names no parallel port"},
    {"parallel:LPT", "names no parallel port"},
    {"parallel:LPT1:", "names no parallel port"},
    {"parallel:COM1", "names no parallel port"},
    {"parallel:\\\\.\\LPT1", "names no parallel port"},
    {"parallel:LPT%31", "names no parallel port"},
    {"serial:COM0", "names no serial port: write COM1 to COM256"},
    {"serial:COM257", "names no serial port"},
    {"serial:COM010", "names no serial port"},
    {"serial:COM+1", "names no serial port"},
    {"serial:COM 1", "names no serial port"},
    {"serial:LPT1", "names no serial port"},
    {"serial:C:\\labels\\out.prn", "names no serial port"},
    {"serial:\\\\.\\COM12", "names no serial port"},
    {"serial:COM99999999999999999999", "names no serial port"},
    // Line settings Windows refuses.
    {"serial:COM1?bits=5&stop=2", "2 stop bits with 5 data bits, which Windows refuses"},
    {"serial:COM1?stop=1.5", "1.5 stop bits with 8 data bits, which Windows refuses"},
    {"serial:COM1?stop=1.5&bits=6", "1.5 stop bits with 6 data bits"},
    {"serial:COM1?bits=7&stop=1.5&baud=1200", "1.5 stop bits with 7 data bits"},
    {"driver:", "names no port or printer"},
    {"raw:", "names no port or printer"},
    {"parallel:LPT1?baud=9600", "settings it does not take"},
    {"serial:COM1?", "without '='"},
    {"serial:COM1?baud", "without '='"},
    {"serial:COM1?baud=9600&", "without '='"},
    {"serial:COM1?speed=9600", "other than baud, bits, parity and stop"},
    {"serial:COM1?baud=0", "baud rate"},
    {"serial:COM1?baud=4000001", "baud rate"},
    {"serial:COM1?baud=96OO", "baud rate"},
    {"serial:COM1?bits=4", "must be 5, 6, 7 or 8"},
    {"serial:COM1?bits=9", "must be 5, 6, 7 or 8"},
    {"serial:COM1?parity=n", "must be none, odd, even, mark or space"},
    {"serial:COM1?stop=3", "must be 1, 1.5 or 2"},
    {"serial:COM1?stop=", "must be 1, 1.5 or 2"},
};

TEST(PrinterTargetTest, RefusesWhatItCannotUnderstandAndSaysWhy) {
    for (const RefusedCase& c : kRefused) {
        SCOPED_TRACE(c.text);
        PrinterTarget target;
        char problem[kTextBufferSize];
        EXPECT_FALSE(ParsePrinterTarget(c.text, &target, problem, sizeof(problem)));
        EXPECT_NE(std::string(problem).find(c.problemPart), std::string::npos) << problem;
        EXPECT_NE(std::string(problem).find(std::string("\"") + c.text + "\""), std::string::npos)
            << problem;
        EXPECT_EQ(target.kind, TargetKind::Stored);
    }
}

// Names and hosts fill their buffers to the last byte and no further.
TEST(PrinterTargetTest, LengthBoundaries) {
    const struct {
        std::string text;
        bool parsed;
    } cases[] = {
        {"socket://" + std::string(kHostBufferSize - 1, 'h'), true},
        {"socket://" + std::string(kHostBufferSize, 'h'), false},
        {"raw:" + std::string(kTextBufferSize - 1, 'q'), true},
        {"raw:" + std::string(kTextBufferSize, 'q'), false},
        // Decoded lengths count: three bytes of text for one of the name.
        {"raw:" + Repeat("%25", kTextBufferSize - 1), true},
        {"raw:" + Repeat("%25", kTextBufferSize), false},
        {"socket://[::1%25" + std::string(kHostBufferSize - 5, 'z') + "]", true},
        {"socket://[::1%25" + std::string(kHostBufferSize - 4, 'z') + "]", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.size());
        PrinterTarget target;
        char problem[64];
        EXPECT_EQ(ParsePrinterTarget(c.text.c_str(), &target, problem, sizeof(problem)), c.parsed);
        EXPECT_LT(std::string(problem).size(), sizeof(problem));
        // Every name that fits is written back whole, and reads back the same.
        char written[kTargetUriSize];
        FormatPrinterTarget(&target, written, sizeof(written));
        EXPECT_LT(std::string(written).size(), sizeof(written) - 1);
        if (c.parsed) {
            PrinterTarget again;
            ASSERT_TRUE(ParsePrinterTarget(written, &again, problem, sizeof(problem)));
            EXPECT_STREQ(again.name, target.name);
            EXPECT_STREQ(again.host, target.host);
        }
    }
}

} // namespace
