// The host status query of ZPL printers: "~HS" out, three framed lines back, parsed into
// ready, not ready (with the reasons), unknown or silent.
#include "transport/printer_status.h"

#include <cstring>

namespace {

constexpr char kQuery[] = "~HS";
constexpr char kStartOfText = 0x02;
constexpr char kEndOfText = 0x03;
constexpr int kFrameCount = 3;
constexpr int kMaxFields = 12;
// Fields per line: communication settings, paper out, pause, label length ... (12); function
// settings, unused, head up, ribbon out ... (11); password, static RAM (2).
constexpr int kFieldCounts[kFrameCount] = {12, 11, 2};
constexpr int kPaperOutField = 1;  // line 1
constexpr int kPauseField = 2;     // line 1
constexpr int kHeadUpField = 2;    // line 2
constexpr int kRibbonOutField = 3; // line 2
// A complete answer is some 90 bytes; more than this is no answer to "~HS".
constexpr std::size_t kAnswerCapacity = 256;

struct Field {
    const char* text;
    std::size_t length;
};

// One frame at bytes[*at]: STX, `expected` fields of decimal digits separated by commas,
// ETX, CR, LF. On success *at is moved past it.
bool ReadFrame(const char* bytes, std::size_t count, std::size_t* at, int expected, Field* fields) {
    std::size_t i = *at;
    if (i >= count || bytes[i] != kStartOfText) {
        return false;
    }
    ++i;
    for (int field = 0; field < expected; ++field) {
        if (field > 0) {
            if (i >= count || bytes[i] != ',') {
                return false;
            }
            ++i;
        }
        std::size_t start = i;
        while (i < count && bytes[i] >= '0' && bytes[i] <= '9') {
            ++i;
        }
        if (i == start) {
            return false;
        }
        fields[field] = Field{bytes + start, i - start};
    }
    if (count - i < 3 || bytes[i] != kEndOfText || bytes[i + 1] != '\r' || bytes[i + 2] != '\n') {
        return false;
    }
    *at = i + 3;
    return true;
}

// A flag is one digit, 0 or 1; -1 for anything else.
int FlagOf(const Field& field) {
    if (field.length != 1 || (field.text[0] != '0' && field.text[0] != '1')) {
        return -1;
    }
    return field.text[0] - '0';
}

bool AnswerComplete(const char* bytes, std::size_t count) {
    int ends = 0;
    for (std::size_t i = 0; i + 2 < count; ++i) {
        if (bytes[i] == kEndOfText && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') {
            ++ends;
        }
    }
    return ends >= kFrameCount;
}

// Reads whatever the channel has within `wait` ms: the count read, 0 when nothing came in
// time, -1 when the channel failed or was closed.
using StatusRead = int (*)(void* channel, char* buffer, DWORD capacity, DWORD wait);

// The answer ends at its third line, at the time limit, or when the channel stops.
HostStatus ReadHostStatus(StatusRead read, void* channel) {
    char answer[kAnswerCapacity];
    std::size_t count = 0;
    DWORD start = GetTickCount();
    while (count < sizeof answer && !AnswerComplete(answer, count)) {
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
    }
    return ParseHostStatus(answer, count);
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

HostStatus ParseHostStatus(const char* bytes, std::size_t count) {
    if (count == 0) {
        return HostStatus{HostStatusKind::Silent, 0};
    }
    Field lines[kFrameCount][kMaxFields];
    std::size_t at = 0;
    for (int frame = 0; frame < kFrameCount; ++frame) {
        if (!ReadFrame(bytes, count, &at, kFieldCounts[frame], lines[frame])) {
            return HostStatus{HostStatusKind::Unknown, 0};
        }
    }
    if (at != count) {
        return HostStatus{HostStatusKind::Unknown, 0};
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
    DWORD reasons = 0;
    for (const FlagReason& flag : kFlags) {
        int value = FlagOf(lines[flag.line][flag.field]);
        if (value < 0) {
            return HostStatus{HostStatusKind::Unknown, 0};
        }
        if (value == 1) {
            reasons |= flag.reason;
        }
    }
    return HostStatus{reasons != 0 ? HostStatusKind::NotReady : HostStatusKind::Ready, reasons};
}

bool QuerySocketPrinterStatus(SOCKET socket, HostStatus* status, int* sendError) {
    int length = static_cast<int>(sizeof kQuery - 1);
    int sent = 0;
    while (sent < length) {
        int accepted = send(socket, kQuery + sent, length - sent, 0);
        if (accepted == SOCKET_ERROR || accepted == 0) {
            *sendError = accepted == 0 ? WSAECONNABORTED : WSAGetLastError();
            return false;
        }
        sent += accepted;
    }
    *status = ReadHostStatus(ReadSocket, &socket);
    DrainSocket(socket);
    return true;
}

bool QueryPortPrinterStatus(HANDLE port, HostStatus* status) {
    PortChannel channel{port, {}};
    if (!GetCommTimeouts(port, &channel.own)) {
        *status = HostStatus{HostStatusKind::Unknown, 0};
        return true;
    }
    DWORD length = sizeof kQuery - 1;
    DWORD done = 0;
    while (done < length) {
        DWORD written = 0;
        if (!WriteFile(port, kQuery + done, length - done, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        done += written < length - done ? written : length - done;
    }
    *status = ReadHostStatus(ReadPort, &channel);
    // The label is written with the time-outs the port had before.
    SetCommTimeouts(port, &channel.own);
    return true;
}
