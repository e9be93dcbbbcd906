// The printer's own status before a label is sent: the ZPL host status query "~HS", its
// three-line answer read within a time limit over a socket or a serial port, and its parser.
#pragma once

#include "core/job_protocol.h"

#include <cstddef>

enum class HostStatusKind {
    Ready,    // a complete answer without any of the conditions below
    NotReady, // a complete answer with paper out, ribbon out, head open or pause
    Unknown,  // some answer, but partial or garbled
    Silent,   // no answer at all: an EPL printer, or a ZPL printer that ignores host queries
};

struct HostStatus {
    HostStatusKind kind;
    DWORD reasons; // kPrinter* bits while NotReady, else 0
};

// How long the printer has to answer, in milliseconds.
constexpr DWORD kHostStatusWait = 2000;

// The answer must be exactly three frames, each <STX>fields<ETX><CR><LF>, of 12, 11 and 2
// comma-separated decimal fields; anything else is Unknown, and no bytes at all Silent.
HostStatus ParseHostStatus(const char* bytes, std::size_t count);

// Sends "~HS" on a connected socket and reads the answer for at most kHostStatusWait ms.
// False when the query could not be sent; *sendError then holds the socket error.
bool QuerySocketPrinterStatus(SOCKET socket, HostStatus* status, int* sendError);

// The same over a serial port opened for reading and writing; the port's own time-outs are
// put back afterwards. False when the query could not be written (GetLastError says why).
// A port whose time-outs cannot be read or set is not asked: its status is Unknown.
bool QueryPortPrinterStatus(HANDLE port, HostStatus* status);
