// The answers of a ZPL printer to "~HS" and "~HQES", parsed from one table (real spacings
// and line ends, framing or none, every flag, garbled and cut-short answers), and the decision
// from both answers together, with every error bit's name, from another.
#include "transport/printer_status.h"

#include <gtest/gtest.h>

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

enum class Parser { Host, Errors };

// values: for "~HS" the reasons, formats in buffer and labels remaining; for "~HQES" the
// error groups 2 and 1 and the warning groups 2 and 1. flag: partial format / warning flag.
struct ParseCase {
    const char* name;
    Parser parser;
    std::string bytes;
    int kind;
    DWORD values[4];
    bool flag;
};

constexpr int kReadyKind = static_cast<int>(HostStatusKind::Ready);
constexpr int kNotReady = static_cast<int>(HostStatusKind::NotReady);
constexpr int kHostUnknown = static_cast<int>(HostStatusKind::Unknown);
constexpr int kHostSilent = static_cast<int>(HostStatusKind::Silent);
constexpr int kClearKind = static_cast<int>(ErrorReportKind::Clear);
constexpr int kFaulted = static_cast<int>(ErrorReportKind::Faulted);
constexpr int kErrorsUnknown = static_cast<int>(ErrorReportKind::Unknown);
constexpr int kErrorsSilent = static_cast<int>(ErrorReportKind::Silent);

TEST(PrinterStatusTest, ParsesBothAnswers) {
    const Parser H = Parser::Host;
    const Parser E = Parser::Errors;
    const ParseCase cases[] = {
        // "~HS" as real printers send it.
        {"ready", H, kReady, kReadyKind, {0, 0, 0, 0}, false},
        {"ready without framing, LF",
         H,
         HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234,0", kBare),
         kReadyKind,
         {0, 0, 0, 0},
         false},
        {"framed with LF and leading spaces",
         H,
         HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234,0", {true, "\n", "   "}),
         kReadyKind,
         {0, 0, 0, 0},
         false},
        {"a stray ETX after it", H, kReady + "\x03", kReadyKind, {0, 0, 0, 0}, false},
        {"formats, labels left, partial format",
         H,
         HostAnswer(Line1('0', '0', "012", '1'), Line2('0', '0', "00000042")),
         kReadyKind,
         {0, 12, 42, 0},
         true},
        {"a count past nine digits",
         H,
         HostAnswer(Line1('0', '0'), Line2('0', '0', "123456789012")),
         kReadyKind,
         {0, 0, 999999999, 0},
         false},
        {"buffer full, under temperature",
         H,
         HostAnswer("030,0,0,1245,000,1,0,0,000,0,1,0", Line2('0', '0')),
         kReadyKind,
         {0, 0, 0, 0},
         false},
        {"paper out",
         H,
         HostAnswer(Line1('1', '0'), Line2('0', '0')),
         kNotReady,
         {kPrinterPaperOut, 0, 0, 0},
         false},
        {"paused",
         H,
         HostAnswer(Line1('0', '1'), Line2('0', '0')),
         kNotReady,
         {kPrinterPaused, 0, 0, 0},
         false},
        {"head up",
         H,
         HostAnswer(Line1('0', '0'), Line2('1', '0')),
         kNotReady,
         {kPrinterHeadOpen, 0, 0, 0},
         false},
        {"ribbon out, bare",
         H,
         HostAnswer(Line1('0', '0'), Line2('0', '1'), "1234,0", kBare),
         kNotReady,
         {kPrinterRibbonOut, 0, 0, 0},
         false},
        {"all four",
         H,
         HostAnswer(Line1('1', '1'), Line2('1', '1')),
         kNotReady,
         {kPrinterPaperOut | kPrinterRibbonOut | kPrinterHeadOpen | kPrinterPaused, 0, 0, 0},
         false},
        {"silent", H, "", kHostSilent, {0, 0, 0, 0}, false},
        {"framing only", H, "\x02\x03\r\n", kHostUnknown, {0, 0, 0, 0}, false},
        {"first line only",
         H,
         kReady.substr(0, kReady.find('\n') + 1),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"cut inside line 2", H, kReady.substr(0, 60), kHostUnknown, {0, 0, 0, 0}, false},
        {"last line feed missing",
         H,
         kReady.substr(0, kReady.size() - 1),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"a single STX", H, "\x02", kHostUnknown, {0, 0, 0, 0}, false},
        {"flag 2",
         H,
         HostAnswer(Line1('2', '0'), Line2('0', '0')),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"flag letter",
         H,
         HostAnswer(Line1('0', '0'), Line2('Y', '0')),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"partial format flag 2",
         H,
         HostAnswer(Line1('0', '0', "000", '2'), Line2('0', '0')),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"flag of two digits",
         H,
         HostAnswer("030,01,0,1245,000,0,0,0,000,0,0,0", Line2('0', '0')),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"empty field",
         H,
         HostAnswer("030,0,0,,000,0,0,0,000,0,0,0", Line2('0', '0')),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"line 1 with 11 fields",
         H,
         HostAnswer("030,0,0,1245,000,0,0,0,000,0,0", Line2('0', '0')),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"line 2 with 12 fields",
         H,
         HostAnswer(Line1('0', '0'), Line2('0', '0') + ",0"),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"line 3 with 1 field",
         H,
         HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234"),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"blank inside a line",
         H,
         HostAnswer(Line1('0', '0'), "001,0, 0,0,1,2,6,0,00000000,1,000"),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"an echo before it", H, "~HS" + kReady, kHostUnknown, {0, 0, 0, 0}, false},
        {"a fourth line", H, kReady + "\x02" + "1234,0\x03\r\n", kHostUnknown, {0, 0, 0, 0}, false},
        {"NUL inside",
         H,
         std::string(kReady).replace(5, 1, std::string(1, '\0')),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        {"CR alone as line end",
         H,
         HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234,0", {true, "\r", ""}),
         kHostUnknown,
         {0, 0, 0, 0},
         false},
        // "~HQES" as real printers send it.
        {"no error", E, kClear, kClearKind, {0, 0, 0, 0}, false},
        {"media out", E, kMediaOut, kFaulted, {0, 1, 0, 0}, false},
        {"head open, bare",
         E,
         ErrorAnswer("1 00000000 00000004", "0 00000000 00000000", kBare),
         kFaulted,
         {0, 4, 0, 0},
         false},
        {"framed with LF",
         E,
         ErrorAnswer("1 00000000 00000002", "0 00000000 00000000", {true, "\n", ""}),
         kFaulted,
         {0, 2, 0, 0},
         false},
        {"STX and ETX on the text lines",
         E,
         "\x02PRINTER STATUS\r\nERRORS: 1 00000000 00000008\r\nWARNINGS: 0 00000000 "
         "00000000\x03\r\n",
         kFaulted,
         {0, 8, 0, 0},
         false},
        {"no space after the colon, trailing spaces",
         E,
         "PRINTER STATUS  \r\nERRORS:1 00000000 0000A00F  \r\nWARNINGS:0 00000000 00000000\r\n",
         kFaulted,
         {0, 0xA00F, 0, 0},
         false},
        {"lower-case digits",
         E,
         ErrorAnswer("1 0000000a 00bc0000"),
         kFaulted,
         {0xA, 0xBC0000, 0, 0},
         false},
        {"group 2 only", E, ErrorAnswer("1 00000001 00000000"), kFaulted, {1, 0, 0, 0}, false},
        {"the flag alone", E, ErrorAnswer("1 00000000 00000000"), kFaulted, {0, 0, 0, 0}, false},
        {"warnings",
         E,
         ErrorAnswer("0 00000000 00000000", "1 00000010 00000003"),
         kClearKind,
         {0, 0, 0x10, 3},
         true},
        {"ETX without a line end",
         E,
         kClear.substr(0, kClear.size() - 2),
         kClearKind,
         {0, 0, 0, 0},
         false},
        {"silent", E, "", kErrorsSilent, {0, 0, 0, 0}, false},
        {"flag 0 with bits",
         E,
         ErrorAnswer("0 00000000 00000001"),
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"header only",
         E,
         kClear.substr(0, kClear.find("ERRORS")),
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"cut inside ERRORS",
         E,
         kMediaOut.substr(0, kMediaOut.find("ERRORS") + 20),
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"no line end after WARNINGS",
         E,
         "PRINTER STATUS\r\nERRORS: 0 00000000 00000000\r\nWARNINGS: 0 00000000 00000000",
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"seven digits", E, ErrorAnswer("1 00000000 0000001"), kErrorsUnknown, {0, 0, 0, 0}, false},
        {"nine digits",
         E,
         ErrorAnswer("1 00000000 000000001"),
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"a digit G", E, ErrorAnswer("1 00000000 0000000G"), kErrorsUnknown, {0, 0, 0, 0}, false},
        {"groups run together",
         E,
         ErrorAnswer("1 0000000000000001"),
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"flag 2", E, ErrorAnswer("2 00000000 00000001"), kErrorsUnknown, {0, 0, 0, 0}, false},
        {"without its header",
         E,
         kMediaOut.substr(kMediaOut.find("   ERRORS")),
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"without a colon",
         E,
         "PRINTER STATUS\nERRORS 1 00000000 00000001\nWARNINGS: 0 00000000 00000000\n",
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"lines swapped",
         E,
         "PRINTER STATUS\nWARNINGS: 0 00000000 00000000\nERRORS: 1 00000000 00000001\n",
         kErrorsUnknown,
         {0, 0, 0, 0},
         false},
        {"a line after it", E, kMediaOut + "MORE\r\n", kErrorsUnknown, {0, 0, 0, 0}, false},
        {"the host status instead", E, kReady, kErrorsUnknown, {0, 0, 0, 0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.parser == Parser::Host) {
            HostStatus status = ParseHostStatus(c.bytes.data(), c.bytes.size());
            EXPECT_EQ(static_cast<int>(status.kind), c.kind);
            EXPECT_EQ(status.reasons, c.values[0]);
            EXPECT_EQ(status.formatsInBuffer, c.values[1]);
            EXPECT_EQ(status.labelsRemaining, c.values[2]);
            EXPECT_EQ(status.partialFormat, c.flag);
        } else {
            ErrorReport report = ParseErrorReport(c.bytes.data(), c.bytes.size());
            EXPECT_EQ(static_cast<int>(report.kind), c.kind);
            EXPECT_EQ(report.errors[0], c.values[0]);
            EXPECT_EQ(report.errors[1], c.values[1]);
            EXPECT_EQ(report.warnings[0], c.values[2]);
            EXPECT_EQ(report.warnings[1], c.values[3]);
            EXPECT_EQ(report.warningFlag, c.flag);
        }
    }
}

// Both answers as they come back to "~HQES~HS", one after the other: whether the label is
// refused and for what, the error bits left without a name, and whether the wait may end.
TEST(PrinterStatusTest, DecidesFromBothAnswers) {
    auto errors = [](const char* group1) {
        return ErrorAnswer(std::string("1 00000000 ") + group1);
    };
    const std::string pausedAndPaperOut = HostAnswer(Line1('1', '1'), Line2('0', '0'));
    const std::string headUp = HostAnswer(Line1('1', '0'), Line2('1', '0'), "1234,0", kBare);
    const struct {
        const char* name;
        std::string bytes;
        DWORD refusal; // 0: the label is sent
        DWORD unnamed[2];
        bool finished;
    } cases[] = {
        {"error, ready", kMediaOut + kReady, kPrinterMediaOut, {0, 0}, true},
        // The error names the media itself; the pause is the host status's own.
        {"error, not ready",
         kMediaOut + pausedAndPaperOut,
         kPrinterMediaOut | kPrinterPaused,
         {0, 0},
         true},
        {"error, silent", kMediaOut, kPrinterMediaOut, {0, 0}, true},
        {"no error, ready", kClear + kReady, 0, {0, 0}, true},
        {"no error, not ready",
         kClear + pausedAndPaperOut,
         kPrinterPaperOut | kPrinterPaused,
         {0, 0},
         true},
        {"no error, silent", kClear, 0, {0, 0}, false},
        {"silent, ready", kReady, 0, {0, 0}, true},
        {"silent, not ready", headUp, kPrinterPaperOut | kPrinterHeadOpen, {0, 0}, true},
        {"silent, silent", "", 0, {0, 0}, false},
        {"no error, cut short", kClear + kReady.substr(0, 50), 0, {0, 0}, false},
        {"error, cut short", kMediaOut + kReady.substr(0, 50), kPrinterMediaOut, {0, 0}, true},
        {"error cut short", kMediaOut.substr(0, 40), 0, {0, 0}, false},
        // Garbled before the status: nothing after it is trusted.
        {"garbled, not ready",
         ErrorAnswer("1 00000000 000001") + pausedAndPaperOut,
         0,
         {0, 0},
         false},
        {"not ready, then more", pausedAndPaperOut + "x\r\n", 0, {0, 0}, false},
        {"bare answers",
         ErrorAnswer("1 00000000 00000004", "0 00000000 00000000", kBare) +
             HostAnswer(Line1('0', '0'), Line2('0', '0'), "1234,0", kBare),
         kPrinterHeadOpen,
         {0, 0},
         true},
        // Every nibble's names, and the bits without one.
        {"ribbon out", errors("00000002"), kPrinterRibbonOut, {0, 0}, true},
        {"head open", errors("00000004"), kPrinterHeadOpen, {0, 0}, true},
        {"cutter fault", errors("00000008"), kPrinterCutterFault, {0, 0}, true},
        {"printhead over temperature",
         errors("00000010"),
         kPrinterHeadOverTemperature,
         {0, 0},
         true},
        {"motor over temperature", errors("00000020"), kPrinterMotorOverTemperature, {0, 0}, true},
        {"bad printhead element", errors("00000040"), kPrinterBadHeadElement, {0, 0}, true},
        {"printhead detection error", errors("00000080"), kPrinterHeadDetectionError, {0, 0}, true},
        {"invalid firmware configuration",
         errors("00000100"),
         kPrinterInvalidFirmwareConfig,
         {0, 0},
         true},
        {"printhead thermistor open", errors("00000200"), kPrinterHeadThermistorOpen, {0, 0}, true},
        {"paper jam during retract", errors("00001000"), kPrinterJamDuringRetract, {0, 0}, true},
        {"presenter not running", errors("00002000"), kPrinterPresenterNotRunning, {0, 0}, true},
        {"paper feed error", errors("00004000"), kPrinterPaperFeedError, {0, 0}, true},
        {"clear paper path failed", errors("00008000"), kPrinterClearPathFailed, {0, 0}, true},
        {"a bit without a name", errors("00000400"), kPrinterOtherError, {0, 0x400}, true},
        {"named and unnamed",
         errors("00010C01"),
         kPrinterMediaOut | kPrinterOtherError,
         {0, 0x10C00},
         true},
        {"group 2",
         ErrorAnswer("1 80000000 00000001"),
         kPrinterMediaOut | kPrinterOtherError,
         {0x80000000, 0},
         true},
        {"the flag without bits", errors("00000000"), kPrinterOtherError, {0, 0}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_printerUnnamedErrors[0] = 0xdeadbeef;
        g_printerUnnamedErrors[1] = 0xdeadbeef;
        bool finished = !c.finished;
        PrinterReport report = ParsePrinterReport(c.bytes.data(), c.bytes.size(), &finished);
        EXPECT_EQ(finished, c.finished);
        EXPECT_EQ(PrinterRefusal(report), c.refusal);
        EXPECT_EQ(g_printerUnnamedErrors[0], c.unnamed[0]);
        EXPECT_EQ(g_printerUnnamedErrors[1], c.unnamed[1]);
    }
}

} // namespace
