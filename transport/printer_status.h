// The printer's own status before a label is sent: the ZPL queries "~HQES" (errors and
// warnings) and "~HS" (host status), their answers read within one time limit over a socket
// or a serial port, their parsers, and the decision whether the label may go.
#pragma once

#include "core/job_protocol.h"

#include <cstddef>

// Both queries in one write. The printer answers tilde commands in the order they arrive,
// so the "~HS" answer, when there is one, comes last and ends the wait.
inline constexpr char kStatusQueries[] = "~HQES~HS";

enum class HostStatusKind {
    Ready,    // a complete answer without any of the conditions below
    NotReady, // a complete answer with paper out, ribbon out, head open or pause
    Unknown,  // some answer, but partial or garbled
    Silent,   // no answer at all: an EPL printer, or current firmware in an error state
};

// The "~HS" answer. The counts and the partial-format flag are those of a complete answer
// (0 otherwise); counts above 999999999 read as 999999999.
struct HostStatus {
    HostStatusKind kind;
    DWORD reasons;         // kPrinterPaperOut, ...RibbonOut, ...HeadOpen, ...Paused
    DWORD formatsInBuffer; // formats received and not yet printed
    DWORD labelsRemaining; // labels left in the batch being printed
    bool partialFormat;    // a format has begun to arrive and is not complete
};

enum class ErrorReportKind {
    Clear,   // ERRORS with its flag 0 and no bits
    Faulted, // ERRORS with its flag 1
    Unknown, // some answer, but partial or garbled
    Silent,  // no answer: older firmware or no ZPL at all
};

// The "~HQES" answer. Each line holds a flag and two groups of eight hex digits: the first
// is group 2 (nibbles 16-9), the second group 1 (nibbles 8-1).
struct ErrorReport {
    ErrorReportKind kind;
    DWORD errors[2];   // group 2, group 1
    DWORD warnings[2]; // group 2, group 1
    bool warningFlag;
};

// What came back for kStatusQueries: the "~HQES" answer, then the "~HS" answer.
struct PrinterReport {
    ErrorReport errors;
    HostStatus host;
};

// How long the printer has to answer both queries, in milliseconds.
constexpr DWORD kHostStatusWait = 2000;

// The parsers take an answer as real printers send it: each line may start with spaces and
// ends with CR LF or LF; the STX and ETX around an answer or a line may be there or not.
// Lines holding nothing but those are skipped. Anything else is garbled (Unknown); no bytes
// at all are Silent.
//
// "~HS": three lines of 12, 11 and 2 comma-separated decimal fields.
HostStatus ParseHostStatus(const char* bytes, std::size_t count);
// "~HQES": "PRINTER STATUS", then "ERRORS:" and "WARNINGS:", each with a flag and two groups
// of eight hex digits, separated by spaces.
ErrorReport ParseErrorReport(const char* bytes, std::size_t count);
// Both answers one after the other, the "~HQES" one first; either may be missing. *finished
// says whether nothing more is to come: the "~HS" answer is complete, or the "~HQES" answer
// reports an error (a printer in an error state sends no "~HS" answer).
PrinterReport ParsePrinterReport(const char* bytes, std::size_t count, bool* finished);

// The reasons to refuse the label (kPrinter* bits), 0 to send it. An error in "~HQES" is
// named from its bits, with the pause of a "~HS" answer; otherwise the flags of "~HS" count.
// The error bits without a name of their own are kept in g_printerUnnamedErrors.
DWORD PrinterRefusal(const PrinterReport& report);

// Puts the bits of g_printerUnnamedErrors into the %s of `text` (a reason's name), as the
// printer wrote them: group 1 alone, or group 2 before it when that has any.
void FillInUnnamedErrors(char* text, std::size_t size);

// Sends kStatusQueries on a connected socket and reads the answers for at most
// kHostStatusWait ms. False when the queries could not be sent; *sendError then holds the
// socket error.
bool QuerySocketPrinterStatus(SOCKET socket, PrinterReport* report, int* sendError);

// The same over a serial port opened for reading and writing; the port's own time-outs are
// put back afterwards. False when the queries could not be written (GetLastError says why).
// A port whose time-outs cannot be read or set is not asked: both answers are Unknown.
bool QueryPortPrinterStatus(HANDLE port, PrinterReport* report);
