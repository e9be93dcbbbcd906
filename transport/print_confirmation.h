// Confirmation after the last block: the printer asked, on the connection the label went
// over, whether it has read the label ("~HS", then "~HQES" when that stays silent) and, when
// the job wants it, asked again until it reports the label printed.
#pragma once

#include "core/job_request.h"
#include "core/transport_job.h"

enum class ConfirmationEnd {
    Confirmed,   // g_jobOutcome.confirmed says how far
    Held,        // the printer has the label and reports a fault; code: the kPrinter* bits
    Unconfirmed, // the printer did not say; code: a kUnconfirmed* value
    Failed,      // the connection failed before any answer; code: the error
};

struct Confirmation {
    ConfirmationEnd end;
    DWORD code;
};

// A two-way channel to the printer. write: false when it failed (*error says why). read:
// what arrives within `wait` ms, the count read, 0 when nothing came in time, -1 when the
// channel failed (*error set) or was closed by the printer (*error 0).
struct ConfirmationChannel {
    bool (*write)(void* context, const char* bytes, DWORD count, DWORD* error);
    int (*read)(void* context, char* buffer, DWORD capacity, DWORD wait, DWORD* error);
    void* context;
};

struct PrinterReport;

// Records what the status check before the label heard, for the records: the refusal's
// reasons and the "~HS" counts; nothing when the printer answered neither query.
void RecordCheckedState(const PrinterReport& report, DWORD refusal);

// How long a printer may go without progress: the job's time-out, or 30 s when it has none.
DWORD ConfirmationPatience(int timeoutSeconds);

// The conversation over any channel; records what it learnt in g_jobOutcome (confirmed and
// printer). Bounded: each query waits at most kHostStatusWait ms per answer, and the polls end
// after `patience` ms without progress, or after kMaxConfirmationPolls in all.
Confirmation ConfirmPrint(const ConfirmationChannel* channel, ConfirmLevel level, DWORD patience);

// At most this many "~HS" polls (some 10 minutes of a printer that keeps making progress).
constexpr int kMaxConfirmationPolls = 1200;

// Over a connected socket, blocking or not.
Confirmation ConfirmOverSocket(SOCKET socket, ConfirmLevel level, int timeoutSeconds);
// Over a serial port opened for reading and writing; the port's own time-outs are put back.
Confirmation ConfirmOverPort(HANDLE port, ConfirmLevel level, int timeoutSeconds);

// How a transport's job ends after the conversation: true with *delivered set (done, held or
// unconfirmed: the printer has every byte), or false with *failure set when the connection
// failed before any answer (a write failure: the file is kept).
bool TakeConfirmation(const Confirmation& confirmation, JobFailure* delivered, JobFailure* failure);
