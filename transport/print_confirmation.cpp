// The confirmation conversation after a label: "~HS" asked on the label's own connection,
// "~HQES" when that stays silent, and the polls until the printer reports the label printed.
#include "transport/print_confirmation.h"

#include "core/transport_job.h"
#include "transport/printer_status.h"

#include <cstring>

namespace {

constexpr char kHostQuery[] = "~HS";
constexpr char kErrorQuery[] = "~HQES";
constexpr char kErrorReportStart[] = "PRINTER STATUS";
constexpr DWORD kPollPause = 500;            // milliseconds between "~HS" polls
constexpr DWORD kDefaultPatience = 30000;    // milliseconds
constexpr int kLongestTimeout = 2147483;     // seconds whose milliseconds fit a signed count
constexpr std::size_t kAnswerCapacity = 512; // an answer is some 100 bytes
constexpr int kMaxDrains = 16;

struct Answer {
    char bytes[kAnswerCapacity];
    std::size_t count;
};

enum class Heard {
    Answered,
    Silent, // nothing whole within the wait: no answer, or one cut short
    Ended,  // the channel failed (error set) or the printer closed it (error 0)
};

// Bytes that came in after an earlier answer (a late one, or one to a query inside the
// label) would spoil the next: what is there now is read and dropped first.
void DropWaitingBytes(const ConfirmationChannel* channel) {
    char discarded[kAnswerCapacity];
    DWORD error = 0;
    for (int i = 0; i < kMaxDrains &&
                    channel->read(channel->context, discarded, sizeof discarded, 0, &error) > 0;
         ++i) {
    }
}

bool HostAnswerWhole(const Answer& answer) {
    HostStatusKind kind = ParseHostStatus(answer.bytes, answer.count).kind;
    return kind == HostStatusKind::Ready || kind == HostStatusKind::NotReady;
}

// A late "~HS" answer may come before the report: the report is read from its first line.
ErrorReport ReportIn(const Answer& answer) {
    std::size_t length = sizeof kErrorReportStart - 1;
    for (std::size_t at = 0; at + length <= answer.count; ++at) {
        if (std::memcmp(answer.bytes + at, kErrorReportStart, length) == 0) {
            return ParseErrorReport(answer.bytes + at, answer.count - at);
        }
    }
    return ParseErrorReport(answer.bytes, answer.count);
}

bool ErrorReportWhole(const Answer& answer) {
    ErrorReportKind kind = ReportIn(answer).kind;
    return kind == ErrorReportKind::Clear || kind == ErrorReportKind::Faulted;
}

// Sends `query` and reads until `whole` says its answer has come, for at most
// kHostStatusWait ms.
Heard Ask(const ConfirmationChannel* channel, const char* query, bool (*whole)(const Answer&),
          Answer* answer, DWORD* error) {
    DropWaitingBytes(channel);
    answer->count = 0;
    *error = 0;
    if (!channel->write(channel->context, query, static_cast<DWORD>(std::strlen(query)), error)) {
        return Heard::Ended;
    }
    DWORD start = GetTickCount();
    while (answer->count < sizeof answer->bytes) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kHostStatusWait) {
            break;
        }
        int got = channel->read(channel->context, answer->bytes + answer->count,
                                static_cast<DWORD>(sizeof answer->bytes - answer->count),
                                kHostStatusWait - elapsed, error);
        if (got < 0) {
            return Heard::Ended;
        }
        if (got == 0) {
            break;
        }
        answer->count += static_cast<std::size_t>(got);
        if (whole(*answer)) {
            return Heard::Answered;
        }
    }
    return Heard::Silent;
}

// One look at the printer: "~HS", and "~HQES" when "~HS" brought nothing whole.
enum class Look { Status, Clear, Faulted, Silent, Ended };

struct Reading {
    Look look;
    HostStatus host; // Look::Status
    DWORD reasons;   // Look::Status (NotReady) and Look::Faulted
    DWORD error;     // Look::Ended
};

Reading LookAtPrinter(const ConfirmationChannel* channel, const HostStatus& last) {
    Reading reading{Look::Silent, last, 0, 0};
    Answer answer;
    Heard heard = Ask(channel, kHostQuery, HostAnswerWhole, &answer, &reading.error);
    if (heard == Heard::Ended) {
        reading.look = Look::Ended;
        return reading;
    }
    if (heard == Heard::Answered) {
        reading.look = Look::Status;
        reading.host = ParseHostStatus(answer.bytes, answer.count);
        reading.reasons = reading.host.kind == HostStatusKind::NotReady ? reading.host.reasons : 0;
        return reading;
    }
    // Current firmware is silent to "~HS" in an error state; "~HQES" names the error.
    heard = Ask(channel, kErrorQuery, ErrorReportWhole, &answer, &reading.error);
    if (heard == Heard::Ended) {
        reading.look = Look::Ended;
        return reading;
    }
    if (heard == Heard::Silent) {
        return reading;
    }
    PrinterReport report{ReportIn(answer), HostStatus{HostStatusKind::Silent, 0, 0, 0, false}};
    if (report.errors.kind == ErrorReportKind::Faulted) {
        reading.look = Look::Faulted;
        reading.reasons = PrinterRefusal(report);
        return reading;
    }
    reading.look = Look::Clear;
    return reading;
}

void RecordPrinterState(const Reading& reading) {
    g_jobOutcome.printer.reported = true;
    g_jobOutcome.printer.reasons = reading.reasons;
    g_jobOutcome.printer.labelsRemaining = reading.host.labelsRemaining;
    g_jobOutcome.printer.formatsInBuffer = reading.host.formatsInBuffer;
}

bool NothingLeftToPrint(const HostStatus& host) {
    return host.formatsInBuffer == 0 && host.labelsRemaining == 0 && !host.partialFormat;
}

bool MadeProgress(const HostStatus& now, const HostStatus& before) {
    return now.formatsInBuffer < before.formatsInBuffer ||
           now.labelsRemaining < before.labelsRemaining;
}

} // namespace

void RecordCheckedState(const PrinterReport& report, DWORD refusal) {
    bool hostAnswered =
        report.host.kind == HostStatusKind::Ready || report.host.kind == HostStatusKind::NotReady;
    bool errorsAnswered = report.errors.kind == ErrorReportKind::Clear ||
                          report.errors.kind == ErrorReportKind::Faulted;
    if (!hostAnswered && !errorsAnswered) {
        return;
    }
    g_jobOutcome.printer =
        PrinterState{true, refusal, report.host.labelsRemaining, report.host.formatsInBuffer};
}

DWORD ConfirmationPatience(int timeoutSeconds) {
    if (timeoutSeconds <= 0) {
        return kDefaultPatience;
    }
    int seconds = timeoutSeconds < kLongestTimeout ? timeoutSeconds : kLongestTimeout;
    return static_cast<DWORD>(seconds) * 1000u;
}

Confirmation ConfirmPrint(const ConfirmationChannel* channel, ConfirmLevel level, DWORD patience) {
    bool received = false;
    bool counted = false;
    HostStatus last{HostStatusKind::Silent, 0, 0, 0, false};
    DWORD lastProgress = GetTickCount();
    for (int poll = 0; poll < kMaxConfirmationPolls; ++poll) {
        // A job asked to stop (Escape) ends its wait: the label is the printer's already.
        if (poll > 0 && JobStopRequested()) {
            break;
        }
        if (poll > 0) {
            Sleep(kPollPause);
        }
        Reading reading = LookAtPrinter(channel, last);
        if (reading.look == Look::Ended) {
            // A printer that has the label and then goes away leaves it with the printer; one
            // that closes before it answers may have read it all: neither is sent again.
            // A failure before any answer may have cut the label: the job fails.
            if (!received && reading.error != 0) {
                return Confirmation{ConfirmationEnd::Failed, reading.error};
            }
            return Confirmation{ConfirmationEnd::Unconfirmed, kUnconfirmedConnectionEnded};
        }
        if (reading.look == Look::Silent && !received) {
            return Confirmation{ConfirmationEnd::Unconfirmed, kUnconfirmedNoAnswer};
        }
        if (reading.look != Look::Silent) {
            RecordPrinterState(reading);
            // Tilde commands are acted on as the parser reaches them: any answer proves that
            // every byte before the query was read.
            if (!received) {
                received = true;
                g_jobOutcome.confirmed = Confirmed::Received;
                lastProgress = GetTickCount();
            }
        }
        if (reading.reasons != 0) {
            return Confirmation{ConfirmationEnd::Held, reading.reasons};
        }
        if (level != ConfirmLevel::Printed) {
            return Confirmation{ConfirmationEnd::Confirmed, 0};
        }
        if (reading.look == Look::Status) {
            if (NothingLeftToPrint(reading.host)) {
                g_jobOutcome.confirmed = Confirmed::Printed;
                return Confirmation{ConfirmationEnd::Confirmed, 0};
            }
            if (counted && MadeProgress(reading.host, last)) {
                lastProgress = GetTickCount();
            }
            last = reading.host;
            counted = true;
        }
        if (GetTickCount() - lastProgress >= patience) {
            break;
        }
    }
    return Confirmation{ConfirmationEnd::Unconfirmed, kUnconfirmedNoProgress};
}

namespace {

// Waits up to `milliseconds` for the socket to be readable (read) or writable (!read);
// returns 1 when it is, 0 when the wait ran out, -1 with *error when select failed.
int AwaitSocket(SOCKET s, bool read, DWORD milliseconds, DWORD* error) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    timeval limit{};
    limit.tv_sec = static_cast<long>(milliseconds / 1000);
    limit.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
    int found = read ? select(0, &ready, nullptr, nullptr, &limit)
                     : select(0, nullptr, &ready, nullptr, &limit);
    if (found == SOCKET_ERROR) {
        *error = static_cast<DWORD>(WSAGetLastError());
        return -1;
    }
    return found > 0 ? 1 : 0;
}

// A socket that does not block may take the query only once the printer has read some of the
// label: the query waits for room as long as an answer would be waited for.
bool WriteSocket(void* context, const char* bytes, DWORD count, DWORD* error) {
    SOCKET s = *static_cast<SOCKET*>(context);
    DWORD start = GetTickCount();
    DWORD sent = 0;
    while (sent < count) {
        int accepted = send(s, bytes + sent, static_cast<int>(count - sent), 0);
        if (accepted > 0) {
            sent += static_cast<DWORD>(accepted);
            continue;
        }
        int failure = accepted == 0 ? WSAECONNABORTED : WSAGetLastError();
        DWORD elapsed = GetTickCount() - start;
        if (failure != WSAEWOULDBLOCK || elapsed >= kHostStatusWait) {
            *error = static_cast<DWORD>(failure == WSAEWOULDBLOCK ? WSAETIMEDOUT : failure);
            return false;
        }
        if (AwaitSocket(s, false, kHostStatusWait - elapsed, error) < 0) {
            return false;
        }
    }
    return true;
}

int ReadSocket(void* context, char* buffer, DWORD capacity, DWORD wait, DWORD* error) {
    SOCKET s = *static_cast<SOCKET*>(context);
    int ready = AwaitSocket(s, true, wait, error);
    if (ready <= 0) {
        return ready;
    }
    int got = recv(s, buffer, static_cast<int>(capacity), 0);
    if (got == SOCKET_ERROR) {
        int failure = WSAGetLastError();
        if (failure == WSAEWOULDBLOCK) {
            return 0;
        }
        *error = static_cast<DWORD>(failure);
        return -1;
    }
    if (got == 0) {
        *error = 0;
        return -1;
    }
    return got;
}

struct PortChannel {
    HANDLE port;
    COMMTIMEOUTS own; // the port's time-outs before the conversation
};

bool WritePort(void* context, const char* bytes, DWORD count, DWORD* error) {
    auto* serial = static_cast<PortChannel*>(context);
    DWORD done = 0;
    while (done < count) {
        DWORD written = 0;
        if (!WriteFile(serial->port, bytes + done, count - done, &written, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (written == 0) {
            *error = ERROR_WRITE_FAULT;
            return false;
        }
        done += written < count - done ? written : count - done;
    }
    return true;
}

// Returns as soon as bytes are there, or after `wait` ms without any.
int ReadPort(void* context, char* buffer, DWORD capacity, DWORD wait, DWORD* error) {
    auto* serial = static_cast<PortChannel*>(context);
    COMMTIMEOUTS timeouts = serial->own;
    // No wait at all: MAXDWORD interval with zero totals returns what is there.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = wait == 0 ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = wait;
    DWORD got = 0;
    if (!SetCommTimeouts(serial->port, &timeouts) ||
        !ReadFile(serial->port, buffer, capacity, &got, nullptr)) {
        *error = GetLastError();
        return -1;
    }
    return static_cast<int>(got < capacity ? got : capacity);
}

} // namespace

Confirmation ConfirmOverSocket(SOCKET socket, ConfirmLevel level, int timeoutSeconds) {
    ConfirmationChannel channel{WriteSocket, ReadSocket, &socket};
    Confirmation confirmation = ConfirmPrint(&channel, level, ConfirmationPatience(timeoutSeconds));
    // The socket closes next: bytes left unread (a late or cut answer) would reset the
    // connection and could throw away what is still queued for the printer.
    DropWaitingBytes(&channel);
    return confirmation;
}

Confirmation ConfirmOverPort(HANDLE port, ConfirmLevel level, int timeoutSeconds) {
    PortChannel serial{port, {}};
    // A port whose time-outs cannot be read cannot be waited on: it is not asked.
    if (!GetCommTimeouts(port, &serial.own)) {
        return Confirmation{ConfirmationEnd::Unconfirmed, kUnconfirmedNoAnswer};
    }
    ConfirmationChannel channel{WritePort, ReadPort, &serial};
    Confirmation confirmation = ConfirmPrint(&channel, level, ConfirmationPatience(timeoutSeconds));
    SetCommTimeouts(port, &serial.own);
    return confirmation;
}

bool TakeConfirmation(const Confirmation& confirmation, JobFailure* delivered,
                      JobFailure* failure) {
    switch (confirmation.end) {
    case ConfirmationEnd::Confirmed:
        return true;
    case ConfirmationEnd::Held:
        *delivered = JobFailure{confirmation.code, JobResult::PrinterHeld};
        return true;
    case ConfirmationEnd::Unconfirmed:
        *delivered = JobFailure{confirmation.code, JobResult::PrinterUnconfirmed};
        return true;
    case ConfirmationEnd::Failed:
        break;
    }
    return FailStep(failure, confirmation.code, JobResult::PortWriteError);
}
