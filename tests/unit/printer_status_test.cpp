// The host status answer of a ZPL printer, parsed from a table: ready, each flag, flags
// together, and every way an answer can be garbled, partial or missing.
#include "transport/printer_status.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Three framed lines with the given fields.
std::string Answer(const std::string& first, const std::string& second,
                   const std::string& third = "1234,0") {
    auto frame = [](const std::string& fields) { return "\x02" + fields + "\x03\r\n"; };
    return frame(first) + frame(second) + frame(third);
}

// Line 1 with paper out (b) and pause (c); line 2 with head up (o) and ribbon out (p).
std::string Line1(char paperOut, char pause) {
    return std::string("030,") + paperOut + "," + pause + ",1245,000,0,0,0,000,0,0,0";
}
std::string Line2(char headUp, char ribbonOut) {
    return std::string("001,0,") + headUp + "," + ribbonOut + ",1,2,6,0,00000000,1,000";
}

const std::string kReady = Answer(Line1('0', '0'), Line2('0', '0'));

// Set in place: GCC 12 takes a replace() with a NUL for an overlapping copy in the
// optimised build (-Werror=restrict).
std::string WithNulAt(std::string text, std::size_t at) {
    text[at] = '\0';
    return text;
}

TEST(PrinterStatusTest, ParsesTheHostStatusAnswer) {
    const struct {
        const char* name;
        std::string bytes;
        HostStatusKind kind;
        DWORD reasons;
    } cases[] = {
        {"ready", kReady, HostStatusKind::Ready, 0},
        // The other flags of a busy but able printer do not stop a label.
        {"buffer full, partial format, under temperature",
         Answer("030,0,0,1245,012,1,0,1,000,0,1,0", Line2('0', '0')), HostStatusKind::Ready, 0},
        {"paper out", Answer(Line1('1', '0'), Line2('0', '0')), HostStatusKind::NotReady,
         kPrinterPaperOut},
        {"paused", Answer(Line1('0', '1'), Line2('0', '0')), HostStatusKind::NotReady,
         kPrinterPaused},
        {"head open", Answer(Line1('0', '0'), Line2('1', '0')), HostStatusKind::NotReady,
         kPrinterHeadOpen},
        {"ribbon out", Answer(Line1('0', '0'), Line2('0', '1')), HostStatusKind::NotReady,
         kPrinterRibbonOut},
        {"all four", Answer(Line1('1', '1'), Line2('1', '1')), HostStatusKind::NotReady,
         kPrinterPaperOut | kPrinterRibbonOut | kPrinterHeadOpen | kPrinterPaused},
        {"silent", "", HostStatusKind::Silent, 0},
        // Partial: cut anywhere before the last line feed.
        {"first line only", kReady.substr(0, kReady.find('\n') + 1), HostStatusKind::Unknown, 0},
        {"cut inside line 2", kReady.substr(0, 60), HostStatusKind::Unknown, 0},
        {"last line feed missing", kReady.substr(0, kReady.size() - 1), HostStatusKind::Unknown, 0},
        {"a single byte", "\x02", HostStatusKind::Unknown, 0},
        // Garbled.
        {"flag 2", Answer(Line1('2', '0'), Line2('0', '0')), HostStatusKind::Unknown, 0},
        {"flag letter", Answer(Line1('0', '0'), Line2('Y', '0')), HostStatusKind::Unknown, 0},
        {"flag of two digits", Answer("030,01,0,1245,000,0,0,0,000,0,0,0", Line2('0', '0')),
         HostStatusKind::Unknown, 0},
        {"empty field", Answer("030,0,0,,000,0,0,0,000,0,0,0", Line2('0', '0')),
         HostStatusKind::Unknown, 0},
        {"line 1 with 11 fields", Answer("030,0,0,1245,000,0,0,0,000,0,0", Line2('0', '0')),
         HostStatusKind::Unknown, 0},
        {"line 2 with 12 fields", Answer(Line1('0', '0'), Line2('0', '0') + ",0"),
         HostStatusKind::Unknown, 0},
        {"line 3 with 1 field", Answer(Line1('0', '0'), Line2('0', '0'), "1234"),
         HostStatusKind::Unknown, 0},
        {"blank in a field", Answer(Line1('0', '0'), "001,0, 0,0,1,2,6,0,00000000,1,000"),
         HostStatusKind::Unknown, 0},
        {"no STX", kReady.substr(1), HostStatusKind::Unknown, 0},
        {"LF without CR",
         Answer(Line1('0', '0'), Line2('0', '0')).replace(kReady.find('\r'), 1, ""),
         HostStatusKind::Unknown, 0},
        {"bytes after the third line", kReady + "\x02", HostStatusKind::Unknown, 0},
        {"an echo before it", "~HS" + kReady, HostStatusKind::Unknown, 0},
        {"a fourth line",
         kReady + "\x02"
                  "1234,0\x03\r\n",
         HostStatusKind::Unknown, 0},
        {"NUL inside", WithNulAt(Answer(Line1('0', '0'), Line2('0', '0')), 5),
         HostStatusKind::Unknown, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostStatus status = ParseHostStatus(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(static_cast<int>(status.kind), static_cast<int>(c.kind));
        EXPECT_EQ(status.reasons, c.reasons);
    }
}

} // namespace
