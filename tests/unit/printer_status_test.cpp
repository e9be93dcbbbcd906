// The answers of a ZPL printer to "~HS" and "~HQES", parsed from one table (real spacings
// and line ends, framing or none, every flag, garbled and cut-short answers), and the decision
// from both answers together, with every error bit's name, from another.
#include "transport/printer_status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct Style {
    bool framed;      // each line in STX ... ETX
    const char* end;  // "\r\n" or "\n"
    const char* lead; // before each line
};

const Style kGuide{true, "\r\n", ""};
const Style kBare{false, "\n", "  "};

std::string HostAnswer(const std::string& first, const std::string& second,
                       const std::string& third = "1234,0", const Style& style = kGuide) {
    std::string answer;
    for (const std::string* line : {&first, &second, &third}) {
        answer += style.lead;
        answer += style.framed ? "\x02" + *line + "\x03" : *line;
        answer += style.end;
    }
    return answer;
}

// Line 1 with paper out (b), pause (c), formats in buffer (eee) and partial format (h); line
// 2 with head up (o), ribbon out (p) and labels remaining (uuuuuuuu).
std::string Line1(char paperOut, char pause, const char* formats = "000", char partial = '0') {
    return std::string("030,") + paperOut + "," + pause + ",1245," + formats + ",0,0," + partial +
           ",000,0,0,0";
}
std::string Line2(char headUp, char ribbonOut, const char* labels = "00000000") {
    return std::string("001,0,") + headUp + "," + ribbonOut + ",1,2,6,0," + labels + ",1,000";
}

const std::string kReady = HostAnswer(Line1('0', '0'), Line2('0', '0'));

// Set in place: GCC 12 takes a replace() with a NUL for an overlapping copy in the
// optimised build (-Werror=restrict).
std::string WithNulAt(std::string text, std::size_t at) {
    text[at] = '\0';
    return text;
}

// The "~HQES" answer as the printer writes it: STX and a line end, three indented lines, ETX.
std::string ErrorAnswer(const std::string& errors,
                        const std::string& warnings = "0 00000000 00000000",
                        const Style& style = kGuide) {
    std::string start = style.framed ? std::string("\x02") + style.end : "";
    std::string finish = style.framed ? std::string("\x03") + style.end : "";
    return start + "  PRINTER STATUS" + style.end + "   ERRORS:         " + errors + style.end +
           "   WARNINGS:       " + warnings + style.end + finish;
}

const std::string kClear = ErrorAnswer("0 00000000 00000000");
const std::string kMediaOut = ErrorAnswer("1 00000000 00000001");

// The parse in words, so that a table row states it in one short text.
std::string Described(const HostStatus& status) {
    const char* kinds[] = {"ready", "not ready", "unknown", "silent"};
    std::string text = kinds[static_cast<int>(status.kind)];
    // Appended piece by piece: GCC 12 takes " " + string for an overlapping copy in the
    // optimised build (-Werror=restrict).
    auto add = [&text](const char* name, DWORD value) {
        if (value != 0) {
            text += ' ';
            text += name;
            text += ' ';
            text += std::to_string(value);
        }
    };
    add("reasons", status.reasons);
    add("formats", status.formatsInBuffer);
    add("labels", status.labelsRemaining);
    return text + (status.partialFormat ? " partial" : "");
}

std::string Described(const ErrorReport& report) {
    const char* kinds[] = {"clear", "faulted", "unknown", "silent"};
    std::string text = kinds[static_cast<int>(report.kind)];
    auto add = [&text](const char* name, const DWORD* groups) {
        char hex[32];
        std::snprintf(hex, sizeof hex, " %s %08X %08X", name, static_cast<unsigned>(groups[0]),
                      static_cast<unsigned>(groups[1]));
        text += (groups[0] | groups[1]) != 0 ? hex : "";
    };
    add("errors", report.errors);
    add("warnings", report.warnings);
    return text + (report.warningFlag ? " flagged" : "");
}

enum class Parser { Host, Errors };

TEST(PrinterStatusTest, ParsesBothAnswers) {
    const Parser H = Parser::Host;
    const Parser E = Parser::Errors;
    const std::string ready = HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234,0", kBare);
    const struct {
        const char* name;
        Parser parser;
        std::string bytes;
        const char* parsed;
    } cases[] = {
        // "~HS" as real printers send it, every flag and count.
        {"ready", H, kReady, "ready"},
        {"ready without framing, LF", H, ready, "ready"},
        {"framed, LF, leading spaces", H,
         HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234,0", {true, "\n", "   "}), "ready"},
        {"a stray ETX after it", H, kReady + "\x03", "ready"},
        {"counts", H, HostAnswer(Line1('0', '0', "012", '1'), Line2('0', '0', "00000042")),
         "ready formats 12 labels 42 partial"},
        {"a count past nine digits", H, HostAnswer(Line1('0', '0'), Line2('0', '0', "1234567890")),
         "ready labels 999999999"},
        {"buffer full, under temperature", H,
         HostAnswer("030,0,0,1245,000,1,0,0,000,0,1,0", Line2('0', '0')), "ready"},
        {"paper out", H, HostAnswer(Line1('1', '0'), Line2('0', '0')), "not ready reasons 1"},
        {"paused", H, HostAnswer(Line1('0', '1'), Line2('0', '0')), "not ready reasons 8"},
        {"head up", H, HostAnswer(Line1('0', '0'), Line2('1', '0')), "not ready reasons 4"},
        {"ribbon out, bare", H, HostAnswer(Line1('0', '0'), Line2('0', '1'), "1234,0", kBare),
         "not ready reasons 2"},
        {"all four", H, HostAnswer(Line1('1', '1'), Line2('1', '1')), "not ready reasons 15"},
        {"silent", H, "", "silent"},
        {"framing only", H, "\x02\x03\r\n", "unknown"},
        {"first line only", H, kReady.substr(0, kReady.find('\n') + 1), "unknown"},
        {"cut inside line 2", H, kReady.substr(0, 60), "unknown"},
        {"last line feed missing", H, kReady.substr(0, kReady.size() - 1), "unknown"},
        {"bare, last line feed missing", H, ready.substr(0, ready.size() - 1), "unknown"},
        {"a single STX", H, "\x02", "unknown"},
        {"flag 2", H, HostAnswer(Line1('2', '0'), Line2('0', '0')), "unknown"},
        {"flag letter", H, HostAnswer(Line1('0', '0'), Line2('Y', '0')), "unknown"},
        {"partial format 2", H, HostAnswer(Line1('0', '0', "000", '2'), Line2('0', '0')),
         "unknown"},
        {"flag of two digits", H, HostAnswer("030,01,0,1245,000,0,0,0,000,0,0,0", Line2('0', '0')),
         "unknown"},
        {"empty field", H, HostAnswer("030,0,0,,000,0,0,0,000,0,0,0", Line2('0', '0')), "unknown"},
        {"line 1 with 11 fields", H, HostAnswer("030,0,0,1245,000,0,0,0,000,0,0", Line2('0', '0')),
         "unknown"},
        {"line 2 with 12 fields", H, HostAnswer(Line1('0', '0'), Line2('0', '0') + ",0"),
         "unknown"},
        {"line 3 with 1 field", H, HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234"), "unknown"},
        {"blank inside a line", H, HostAnswer(Line1('0', '0'), "001,0, 0,0,1,2,6,0,00000000,1,000"),
         "unknown"},
        {"an echo before it", H, "~HS" + kReady, "unknown"},
        {"a fourth line", H, kReady + "\x02" + "1234,0\x03\r\n", "unknown"},
        {"NUL inside", H, WithNulAt(kReady, 5), "unknown"},
        {"CR alone as line end", H,
         HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234,0", {true, "\r", ""}), "unknown"},
        // "~HQES" as real printers send it, and every way it can be broken.
        {"no error", E, kClear, "clear"},
        {"media out", E, kMediaOut, "faulted errors 00000000 00000001"},
        {"head open, bare", E, ErrorAnswer("1 00000000 00000004", "0 00000000 00000000", kBare),
         "faulted errors 00000000 00000004"},
        {"STX and ETX on the text lines", E,
         "\x02PRINTER STATUS\r\nERRORS: 1 00000000 00000008\r\nWARNINGS: 0 00000000 00000000\x03\n",
         "faulted errors 00000000 00000008"},
        {"no space after the colon, trailing spaces", E,
         "PRINTER STATUS \nERRORS:1 00000000 0000A00F  \nWARNINGS:0 00000000 00000000\n",
         "faulted errors 00000000 0000A00F"},
        {"lower-case digits", E, ErrorAnswer("1 0000000a 00bc0000"),
         "faulted errors 0000000A 00BC0000"},
        {"the flag alone", E, ErrorAnswer("1 00000000 00000000"), "faulted"},
        {"warnings", E, ErrorAnswer("0 00000000 00000000", "1 00000010 00000003"),
         "clear warnings 00000010 00000003 flagged"},
        {"ETX without a line end", E, kClear.substr(0, kClear.size() - 2), "clear"},
        {"silent", E, "", "silent"},
        {"flag 0 with bits", E, ErrorAnswer("0 00000000 00000001"), "unknown"},
        {"header only", E, kClear.substr(0, kClear.find("ERRORS")), "unknown"},
        {"cut inside ERRORS", E, kMediaOut.substr(0, kMediaOut.find("ERRORS") + 20), "unknown"},
        {"no line end after WARNINGS", E,
         "PRINTER STATUS\nERRORS: 0 00000000 00000000\nWARNINGS: 0 00000000 00000000", "unknown"},
        {"seven digits", E, ErrorAnswer("1 00000000 0000001"), "unknown"},
        {"nine digits", E, ErrorAnswer("1 00000000 000000001"), "unknown"},
        {"a digit G", E, ErrorAnswer("1 00000000 0000000G"), "unknown"},
        {"groups run together", E, ErrorAnswer("1 0000000000000001"), "unknown"},
        {"flag 2", E, ErrorAnswer("2 00000000 00000001"), "unknown"},
        {"without its header", E, kMediaOut.substr(kMediaOut.find("   ERRORS")), "unknown"},
        {"without a colon", E,
         "PRINTER STATUS\nERRORS 1 00000000 00000001\nWARNINGS: 0 00000000 00000000\n", "unknown"},
        {"lines swapped", E,
         "PRINTER STATUS\nWARNINGS: 0 00000000 00000000\nERRORS: 1 00000000 00000001\n", "unknown"},
        {"a line after it", E, kMediaOut + "MORE\r\n", "unknown"},
        {"the host status instead", E, kReady, "unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.parser == H ? Described(ParseHostStatus(c.bytes.data(), c.bytes.size()))
                                : Described(ParseErrorReport(c.bytes.data(), c.bytes.size())),
                  c.parsed);
    }
}

// Both answers as they come back to "~HQES~HS", one after the other: whether the label is
// refused and for what, the error bits left without a name, and whether the wait may end.
TEST(PrinterStatusTest, DecidesFromBothAnswers) {
    auto Faulted = [](const char* group1) {
        return ErrorAnswer(std::string("1 00000000 ") + group1);
    };
    const std::string paused = HostAnswer(Line1('1', '1'), Line2('0', '0')); // and paper out
    const std::string headUp = HostAnswer(Line1('1', '0'), Line2('1', '0'), "1234,0", kBare);
    const struct {
        const char* name;
        std::string bytes;
        DWORD refusal; // 0: the label is sent
        DWORD unnamed2, unnamed1;
        bool finished;
    } cases[] = {
        {"error, ready", kMediaOut + kReady, kPrinterMediaOut, 0, 0, true},
        // The error names the media itself; the pause is the host status's own.
        {"error, not ready", kMediaOut + paused, kPrinterMediaOut | kPrinterPaused, 0, 0, true},
        {"error, silent", kMediaOut, kPrinterMediaOut, 0, 0, true},
        {"no error, ready", kClear + kReady, 0, 0, 0, true},
        {"no error, not ready", kClear + paused, kPrinterPaperOut | kPrinterPaused, 0, 0, true},
        {"no error, silent", kClear, 0, 0, 0, false},
        {"silent, ready", kReady, 0, 0, 0, true},
        {"silent, not ready", headUp, kPrinterPaperOut | kPrinterHeadOpen, 0, 0, true},
        {"silent, silent", "", 0, 0, 0, false},
        {"no error, cut short", kClear + kReady.substr(0, 50), 0, 0, 0, false},
        {"error, cut short", kMediaOut + kReady.substr(0, 50), kPrinterMediaOut, 0, 0, true},
        {"error cut short", kMediaOut.substr(0, 40), 0, 0, 0, false},
        // Garbled before the status: nothing after it is trusted.
        {"garbled, not ready", ErrorAnswer("1 00000000 000001") + paused, 0, 0, 0, false},
        {"not ready, then more", paused + "x\r\n", 0, 0, 0, false},
        {"bare answers", ErrorAnswer("1 00000000 00000004", "0 00000000 00000000", kBare) + headUp,
         kPrinterHeadOpen, 0, 0, true},
        // Every nibble's names, and the bits without one.
        {"ribbon out", Faulted("00000002"), kPrinterRibbonOut, 0, 0, true},
        {"head open", Faulted("00000004"), kPrinterHeadOpen, 0, 0, true},
        {"cutter fault", Faulted("00000008"), kPrinterCutterFault, 0, 0, true},
        {"printhead over temperature", Faulted("00000010"), kPrinterHeadOverTemperature, 0, 0,
         true},
        {"motor over temperature", Faulted("00000020"), kPrinterMotorOverTemperature, 0, 0, true},
        {"bad printhead element", Faulted("00000040"), kPrinterBadHeadElement, 0, 0, true},
        {"printhead detection error", Faulted("00000080"), kPrinterHeadDetectionError, 0, 0, true},
        {"invalid firmware config", Faulted("00000100"), kPrinterInvalidFirmwareConfig, 0, 0, true},
        {"printhead thermistor open", Faulted("00000200"), kPrinterHeadThermistorOpen, 0, 0, true},
        {"paper jam during retract", Faulted("00001000"), kPrinterJamDuringRetract, 0, 0, true},
        {"presenter not running", Faulted("00002000"), kPrinterPresenterNotRunning, 0, 0, true},
        {"paper feed error", Faulted("00004000"), kPrinterPaperFeedError, 0, 0, true},
        {"clear paper path failed", Faulted("00008000"), kPrinterClearPathFailed, 0, 0, true},
        {"a bit without a name", Faulted("00000400"), kPrinterOtherError, 0, 0x400, true},
        {"named and unnamed", Faulted("00010C01"), kPrinterMediaOut | kPrinterOtherError, 0,
         0x10C00, true},
        {"group 2", ErrorAnswer("1 80000000 00000001"), kPrinterMediaOut | kPrinterOtherError,
         0x80000000, 0, true},
        {"the flag without bits", Faulted("00000000"), kPrinterOtherError, 0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_printerUnnamedErrors[0] = 0xdeadbeef;
        g_printerUnnamedErrors[1] = 0xdeadbeef;
        bool finished = !c.finished;
        PrinterReport report = ParsePrinterReport(c.bytes.data(), c.bytes.size(), &finished);
        EXPECT_EQ(finished, c.finished);
        EXPECT_EQ(PrinterRefusal(report), c.refusal);
        EXPECT_EQ(g_printerUnnamedErrors[0], c.unnamed2);
        EXPECT_EQ(g_printerUnnamedErrors[1], c.unnamed1);
    }
}

} // namespace
