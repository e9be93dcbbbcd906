// The status queries of ZPL printers: "~HQES" and "~HS" out, their answers back, parsed
// into what the printer reports and the reasons, if any, not to send it a label.
#include "transport/printer_status.h"

#include <cstdio>
#include <cstring>

namespace {

// What the printer sends back, as the ZPL II programming guide lays it out.
//
// "~HS": three strings, each <STX>...<ETX><CR><LF>:
//   1: aaa communication settings, b paper out flag, c pause flag, dddd label length,
//      eee formats in the receive buffer, f buffer full flag, g communications diagnostic
//      mode flag, h partial format flag, iii unused, j corrupt RAM flag, k under temperature,
//      l over temperature;
//   2: mmm function settings, n unused, o head up flag, p ribbon out flag, q thermal
//      transfer mode flag, r print mode, s print width mode, t label waiting flag,
//      uuuuuuuu labels remaining in the batch, v format while printing flag, www graphic
//      images stored;
//   3: xxxx password, y static RAM installed.
// Current firmware sends nothing while the media or the ribbon is out, the head is open, the
// rewinder is full or the head is over temperature.
//
// "~HQES": a PRINTER STATUS line, then "ERRORS:" and "WARNINGS:", each with a flag (1: some
// bit is set) and two groups of 8 hex digits, group 2 (nibbles 16-9) before group 1 (nibbles
// 8-1). The errors of group 1 with a name, nibble by nibble:
//   1: media out 1, ribbon out 2, head open 4, cutter fault 8;
//   2: printhead over temperature 1, motor over temperature 2, bad printhead element 4,
//      printhead detection error 8;
//   3: invalid firmware configuration 1, printhead thermistor open 2;
//   4: paper jam during retract 1, presenter not running 2, paper feed error 4, clear paper
//      path failed 8.
constexpr char kStartOfText = 0x02;
constexpr char kEndOfText = 0x03;
constexpr int kHostLines = 3;
constexpr int kMaxFields = 12;
constexpr int kFieldCounts[kHostLines] = {12, 11, 2};
constexpr int kPaperOutField = 1;        // line 1
constexpr int kPauseField = 2;           // line 1
constexpr int kFormatsField = 4;         // line 1
constexpr int kPartialFormatField = 7;   // line 1
constexpr int kHeadUpField = 2;          // line 2
constexpr int kRibbonOutField = 3;       // line 2
constexpr int kLabelsRemainingField = 8; // line 2
constexpr DWORD kCountLimit = 999999999;
constexpr int kGroupDigits = 8;
// Both answers are some 190 bytes; more than this is no answer to the queries.
constexpr std::size_t kAnswerCapacity = 512;

struct NamedError {
    DWORD bit; // of group 1
    DWORD reason;
};

constexpr NamedError kNamedErrors[] = {
    {0x1, kPrinterMediaOut},
    {0x2, kPrinterRibbonOut},
    {0x4, kPrinterHeadOpen},
    {0x8, kPrinterCutterFault},
    {0x10, kPrinterHeadOverTemperature},
    {0x20, kPrinterMotorOverTemperature},
    {0x40, kPrinterBadHeadElement},
    {0x80, kPrinterHeadDetectionError},
    {0x100, kPrinterInvalidFirmwareConfig},
    {0x200, kPrinterHeadThermistorOpen},
    {0x1000, kPrinterJamDuringRetract},
    {0x2000, kPrinterPresenterNotRunning},
    {0x4000, kPrinterPaperFeedError},
    {0x8000, kPrinterClearPathFailed},
};

struct Text {
    const char* text;
    std::size_t length;
};

bool IsEdge(char c) {
    return c == ' ' || c == kStartOfText || c == kEndOfText;
}

enum class NextLine { Line, End, CutShort };

// The next line from *at that holds more than framing and spaces, without them and without
// its line end. A last line without its line feed was cut short, unless it holds nothing.
NextLine ReadLine(const char* bytes, std::size_t count, std::size_t* at, Text* line) {
    while (*at < count) {
        std::size_t start = *at;
        const void* feed = std::memchr(bytes + start, '\n', count - start);
        std::size_t end = feed != nullptr
                              ? static_cast<std::size_t>(static_cast<const char*>(feed) - bytes)
                              : count;
        *at = feed != nullptr ? end + 1 : count;
        if (feed != nullptr && end > start && bytes[end - 1] == '\r') {
            --end;
        }
        while (start < end && IsEdge(bytes[start])) {
            ++start;
        }
        while (end > start && IsEdge(bytes[end - 1])) {
            --end;
        }
        if (start == end) {
            continue;
        }
        if (feed == nullptr) {
            return NextLine::CutShort;
        }
        *line = Text{bytes + start, end - start};
        return NextLine::Line;
    }
    return NextLine::End;
}

// `expected` comma-separated fields of decimal digits, no more and no fewer.
bool SplitFields(const Text& line, int expected, Text* fields) {
    std::size_t i = 0;
    for (int field = 0; field < expected; ++field) {
        if (field > 0) {
            if (i >= line.length || line.text[i] != ',') {
                return false;
            }
            ++i;
        }
        std::size_t start = i;
        while (i < line.length && line.text[i] >= '0' && line.text[i] <= '9') {
            ++i;
        }
        if (i == start) {
            return false;
        }
        fields[field] = Text{line.text + start, i - start};
    }
    return i == line.length;
}

// A flag is one digit, 0 or 1; -1 for anything else.
int FlagOf(const Text& field) {
    if (field.length != 1 || (field.text[0] != '0' && field.text[0] != '1')) {
        return -1;
    }
    return field.text[0] - '0';
}

DWORD CountOf(const Text& field) {
    DWORD value = 0;
    for (std::size_t i = 0; i < field.length; ++i) {
        if (value > kCountLimit / 10) {
            return kCountLimit;
        }
        value = value * 10 + static_cast<DWORD>(field.text[i] - '0');
    }
    return value;
}

HostStatus Garbled() {
    return HostStatus{HostStatusKind::Unknown, 0, 0, 0, false};
}

// The three lines of a "~HS" answer from *at.
HostStatus ReadHostStatus(const char* bytes, std::size_t count, std::size_t* at) {
    Text lines[kHostLines][kMaxFields];
    for (int frame = 0; frame < kHostLines; ++frame) {
        Text line{};
        if (ReadLine(bytes, count, at, &line) != NextLine::Line ||
            !SplitFields(line, kFieldCounts[frame], lines[frame])) {
            return Garbled();
        }
    }
    struct FlagReason {
        int line;
        int field;
        DWORD reason;
    };
    static constexpr FlagReason kFlags[] = {
        {0, kPaperOutField, kPrinterPaperOut},
        {1, kRibbonOutField, kPrinterRibbonOut},
        {1, kHeadUpField, kPrinterHeadOpen},
        {0, kPauseField, kPrinterPaused},
    };
    HostStatus status{HostStatusKind::Ready, 0, 0, 0, false};
    for (const FlagReason& flag : kFlags) {
        int value = FlagOf(lines[flag.line][flag.field]);
        if (value < 0) {
            return Garbled();
        }
        if (value == 1) {
            status.reasons |= flag.reason;
        }
    }
    int partial = FlagOf(lines[0][kPartialFormatField]);
    if (partial < 0) {
        return Garbled();
    }
    status.partialFormat = partial == 1;
    status.formatsInBuffer = CountOf(lines[0][kFormatsField]);
    status.labelsRemaining = CountOf(lines[1][kLabelsRemainingField]);
    if (status.reasons != 0) {
        status.kind = HostStatusKind::NotReady;
    }
    return status;
}

bool SameText(const Text& line, const char* text) {
    std::size_t length = std::strlen(text);
    return line.length == length && std::memcmp(line.text, text, length) == 0;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// "LABEL:", a flag and two groups of hex digits, with spaces between (none needed after the
// colon). False for anything else.
bool ReadFlagLine(const Text& line, const char* label, int* flag, DWORD* groups) {
    std::size_t labelLength = std::strlen(label);
    if (line.length < labelLength || std::memcmp(line.text, label, labelLength) != 0) {
        return false;
    }
    std::size_t i = labelLength;
    while (i < line.length && line.text[i] == ' ') {
        ++i;
    }
    if (i >= line.length || (line.text[i] != '0' && line.text[i] != '1')) {
        return false;
    }
    *flag = line.text[i++] - '0';
    for (int group = 0; group < 2; ++group) {
        std::size_t spaces = i;
        while (i < line.length && line.text[i] == ' ') {
            ++i;
        }
        if (i == spaces || line.length - i < static_cast<std::size_t>(kGroupDigits)) {
            return false;
        }
        DWORD value = 0;
        for (int digit = 0; digit < kGroupDigits; ++digit) {
            int nibble = HexValue(line.text[i++]);
            if (nibble < 0) {
                return false;
            }
            value = (value << 4) | static_cast<DWORD>(nibble);
        }
        groups[group] = value;
    }
    return i == line.length;
}

// The ERRORS and WARNINGS lines after PRINTER STATUS. A flag that disagrees with its bits is
// garbled: the printer's words cannot be trusted either way.
ErrorReport ReadErrorLines(const char* bytes, std::size_t count, std::size_t* at) {
    ErrorReport report{ErrorReportKind::Unknown, {0, 0}, {0, 0}, false};
    Text line{};
    int errorFlag = 0;
    int warningFlag = 0;
    if (ReadLine(bytes, count, at, &line) != NextLine::Line ||
        !ReadFlagLine(line, "ERRORS:", &errorFlag, report.errors) ||
        ReadLine(bytes, count, at, &line) != NextLine::Line ||
        !ReadFlagLine(line, "WARNINGS:", &warningFlag, report.warnings)) {
        return ErrorReport{ErrorReportKind::Unknown, {0, 0}, {0, 0}, false};
    }
    if (errorFlag == 0 && (report.errors[0] | report.errors[1]) != 0) {
        return ErrorReport{ErrorReportKind::Unknown, {0, 0}, {0, 0}, false};
    }
    report.kind = errorFlag == 1 ? ErrorReportKind::Faulted : ErrorReportKind::Clear;
    report.warningFlag = warningFlag == 1;
    return report;
}

ErrorReport NoErrorReport(ErrorReportKind kind) {
    return ErrorReport{kind, {0, 0}, {0, 0}, false};
}

} // namespace

HostStatus ParseHostStatus(const char* bytes, std::size_t count) {
    if (count == 0) {
        return HostStatus{HostStatusKind::Silent, 0, 0, 0, false};
    }
    std::size_t at = 0;
    HostStatus status = ReadHostStatus(bytes, count, &at);
    Text rest{};
    if (ReadLine(bytes, count, &at, &rest) != NextLine::End) {
        return Garbled();
    }
    return status;
}

ErrorReport ParseErrorReport(const char* bytes, std::size_t count) {
    if (count == 0) {
        return NoErrorReport(ErrorReportKind::Silent);
    }
    std::size_t at = 0;
    Text line{};
    if (ReadLine(bytes, count, &at, &line) != NextLine::Line || !SameText(line, "PRINTER STATUS")) {
        return NoErrorReport(ErrorReportKind::Unknown);
    }
    ErrorReport report = ReadErrorLines(bytes, count, &at);
    if (ReadLine(bytes, count, &at, &line) != NextLine::End) {
        return NoErrorReport(ErrorReportKind::Unknown);
    }
    return report;
}

PrinterReport ParsePrinterReport(const char* bytes, std::size_t count, bool* finished) {
    PrinterReport report{NoErrorReport(ErrorReportKind::Silent),
                         HostStatus{HostStatusKind::Silent, 0, 0, 0, false}};
    *finished = false;
    if (count == 0) {
        return report;
    }
    // Without a PRINTER STATUS line first, "~HQES" went unanswered and all is "~HS".
    std::size_t at = 0;
    Text line{};
    NextLine first = ReadLine(bytes, count, &at, &line);
    if (first == NextLine::Line && SameText(line, "PRINTER STATUS")) {
        report.errors = ReadErrorLines(bytes, count, &at);
        if (report.errors.kind == ErrorReportKind::Unknown) {
            report.host = Garbled();
            return report;
        }
        *finished = report.errors.kind == ErrorReportKind::Faulted;
    } else {
        at = 0;
    }
    std::size_t hostStart = at;
    if (ReadLine(bytes, count, &at, &line) == NextLine::End) {
        // Nothing beyond the "~HQES" answer, or bytes that hold no line at all.
        if (hostStart == 0) {
            report.errors = NoErrorReport(ErrorReportKind::Unknown);
            report.host = Garbled();
        }
        return report;
    }
    at = hostStart;
    HostStatus host = ReadHostStatus(bytes, count, &at);
    if (host.kind != HostStatusKind::Unknown &&
        ReadLine(bytes, count, &at, &line) != NextLine::End) {
        host = Garbled();
    }
    if (host.kind == HostStatusKind::Unknown && hostStart == 0) {
        report.errors = NoErrorReport(ErrorReportKind::Unknown);
    }
    report.host = host;
    *finished = *finished || host.kind != HostStatusKind::Unknown;
    return report;
}

DWORD PrinterRefusal(const PrinterReport& report) {
    g_printerUnnamedErrors[0] = 0;
    g_printerUnnamedErrors[1] = 0;
    DWORD hostReasons = report.host.kind == HostStatusKind::NotReady ? report.host.reasons : 0;
    if (report.errors.kind != ErrorReportKind::Faulted) {
        return hostReasons;
    }
    // The error bits name media, ribbon and head themselves; only the pause is "~HS"'s own.
    DWORD reasons = hostReasons & kPrinterPaused;
    DWORD unnamed = report.errors.errors[1];
    for (const NamedError& error : kNamedErrors) {
        if ((unnamed & error.bit) != 0) {
            reasons |= error.reason;
            unnamed &= ~error.bit;
        }
    }
    // A set flag with no bit that has a name still stops the label.
    if (unnamed != 0 || report.errors.errors[0] != 0 || (reasons & ~kPrinterPaused) == 0) {
        reasons |= kPrinterOtherError;
        g_printerUnnamedErrors[0] = report.errors.errors[0];
        g_printerUnnamedErrors[1] = unnamed;
    }
    return reasons;
}

void FillInUnnamedErrors(char* text, std::size_t size) {
    char format[kTextBufferSize];
    std::snprintf(format, sizeof format, "%s", text);
    char digits[24];
    if (g_printerUnnamedErrors[0] != 0) {
        std::snprintf(digits, sizeof digits, "%08lX %08lX",
                      static_cast<unsigned long>(g_printerUnnamedErrors[0]),
                      static_cast<unsigned long>(g_printerUnnamedErrors[1]));
    } else {
        std::snprintf(digits, sizeof digits, "%08lX",
                      static_cast<unsigned long>(g_printerUnnamedErrors[1]));
    }
    std::snprintf(text, size, format, digits);
}

namespace {

// Reads whatever the channel has within `wait` ms: the count read, 0 when nothing came in
// time, -1 when the channel failed or was closed.
using StatusRead = int (*)(void* channel, char* buffer, DWORD capacity, DWORD wait);

// The answers end with the "~HS" one, with an error report, at the time limit, or when the
// channel stops.
PrinterReport ReadPrinterReport(StatusRead read, void* channel) {
    char answer[kAnswerCapacity];
    std::size_t count = 0;
    bool finished = false;
    DWORD start = GetTickCount();
    while (count < sizeof answer) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kHostStatusWait) {
            break;
        }
        int got = read(channel, answer + count, static_cast<DWORD>(sizeof answer - count),
                       kHostStatusWait - elapsed);
        if (got <= 0) {
            break;
        }
        count += static_cast<std::size_t>(got);
        ParsePrinterReport(answer, count, &finished);
        if (finished) {
            break;
        }
    }
    return ParsePrinterReport(answer, count, &finished);
}

int ReadSocket(void* channel, char* buffer, DWORD capacity, DWORD wait) {
    SOCKET s = *static_cast<SOCKET*>(channel);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit{};
    limit.tv_sec = static_cast<long>(wait / 1000);
    limit.tv_usec = static_cast<long>((wait % 1000) * 1000);
    int ready = select(0, &readable, nullptr, nullptr, &limit);
    if (ready == 0) {
        return 0;
    }
    if (ready == SOCKET_ERROR) {
        return -1;
    }
    int got = recv(s, buffer, static_cast<int>(capacity), 0);
    return got > 0 ? got : -1;
}

// Bytes left unread when the socket is closed make the system reset the connection, and a
// printer may then drop the end of the label: what has come beyond the answer is read now.
void DrainSocket(SOCKET s) {
    constexpr int kMaxDrains = 16;
    char discard[kAnswerCapacity];
    for (int i = 0; i < kMaxDrains && ReadSocket(&s, discard, sizeof discard, 0) > 0; ++i) {
    }
}

struct PortChannel {
    HANDLE port;
    COMMTIMEOUTS own; // the port's time-outs before the query
};

// Returns as soon as bytes are there, or after `wait` ms without any.
int ReadPort(void* channel, char* buffer, DWORD capacity, DWORD wait) {
    auto* serial = static_cast<PortChannel*>(channel);
    COMMTIMEOUTS timeouts = serial->own;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = wait;
    if (!SetCommTimeouts(serial->port, &timeouts)) {
        return -1;
    }
    DWORD got = 0;
    if (!ReadFile(serial->port, buffer, capacity, &got, nullptr)) {
        return -1;
    }
    return static_cast<int>(got < capacity ? got : capacity);
}

} // namespace

bool QuerySocketPrinterStatus(SOCKET socket, PrinterReport* report, int* sendError) {
    int length = static_cast<int>(sizeof kStatusQueries - 1);
    int sent = 0;
    while (sent < length) {
        int accepted = send(socket, kStatusQueries + sent, length - sent, 0);
        if (accepted == SOCKET_ERROR || accepted == 0) {
            *sendError = accepted == 0 ? WSAECONNABORTED : WSAGetLastError();
            return false;
        }
        sent += accepted;
    }
    *report = ReadPrinterReport(ReadSocket, &socket);
    DrainSocket(socket);
    return true;
}

bool QueryPortPrinterStatus(HANDLE port, PrinterReport* report) {
    PortChannel channel{port, {}};
    if (!GetCommTimeouts(port, &channel.own)) {
        *report = PrinterReport{NoErrorReport(ErrorReportKind::Unknown), Garbled()};
        return true;
    }
    DWORD length = sizeof kStatusQueries - 1;
    DWORD done = 0;
    while (done < length) {
        DWORD written = 0;
        if (!WriteFile(port, kStatusQueries + done, length - done, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        done += written < length - done ? written : length - done;
    }
    *report = ReadPrinterReport(ReadPort, &channel);
    // The label is written with the time-outs the port had before.
    SetCommTimeouts(port, &channel.own);
    return true;
}
