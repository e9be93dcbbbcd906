// What the command line asks of one job beyond the stored settings (a printer of its own,
// overridden delay, attempts and time-out, no windows), and what the job did, for the
// result file and the job log. Both are process-wide; zero-filled they mean "as stored".
#pragma once

#include "core/job_protocol.h"

// Where a job goes: the stored settings, or a printer named on the command line. Named: a name
// of the stored named printers (in `name`), which the launcher turns into the printer it
// stands for before any job starts.
enum class TargetKind : int { Stored = 0, Socket, Serial, Parallel, Driver, RawQueue, Named };

// Where a setting, or the job's printer, came from. None: nowhere (or not known yet).
enum class SettingPlace : int { None = 0, Policy, User, Machine, CommandLine };

constexpr int kHostBufferSize = 256; // a host name or address literal, with its NUL
// The longest device URI of a target, with its NUL: a name of kTextBufferSize - 1 bytes,
// every byte percent-encoded, after the longest scheme, and a serial port's line settings.
constexpr int kTargetUriSize = 3 * kTextBufferSize + 64;

// A printer named on the command line, in the form of a device URI.
struct PrinterTarget {
    TargetKind kind;
    // Socket: the host (name, IPv4 literal, or IPv6 literal without brackets).
    char host[kHostBufferSize];
    unsigned short port; // Socket
    // Serial and Parallel: the port device ("COM3", "LPT1"); Driver and RawQueue: the
    // printer's name.
    char name[kTextBufferSize];
    // Serial line settings, as the settings' text values would give them.
    DWORD baudRate;
    BYTE dataBits;
    BYTE parity;   // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    BYTE stopBits; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
};

// A value given on the command line for this job only, in place of the stored one.
struct JobOverride {
    bool given;
    int value;
};

// How far a job follows its label once sent, where the printer can answer (network, serial).
enum class ConfirmLevel : int { Off = 0, Received, Printed };

// "received", "printed" or "off", compared ignoring case; false for any other text.
bool ParseConfirmLevel(const char* text, ConfirmLevel* level);

struct JobOptions {
    bool quiet; // no window of any kind; failures end with their exit code
    // The path buffer holds UTF-8: the file's name has characters the ANSI code page cannot
    // spell, so it is opened and deleted through the wide calls.
    bool utf8Path;
    PrinterTarget target;
    JobOverride delay;    // milliseconds
    JobOverride attempts; // connection attempts
    JobOverride timeout;  // seconds, 0: no limit
    bool confirmGiven;
    ConfirmLevel confirm;
    // Where the target came from: the place of a stored name it was looked up by; None (as
    // zero-filled) for a device URI given on the command line.
    SettingPlace targetPlace;
};

// Which way the job went, filled in by the worker as it hands the job over.
enum class JobTransport : int { None = 0, SerialPort, ParallelPort, Network, Driver, RawQueue };

// What the printer proved about the label: nothing, that it read to the end of the stream
// (it closed after ours), that it read every byte (it answered a query sent after them), or
// that it printed it (it reported its buffer and batch empty).
enum class Confirmed : int { No = 0, Closed, Received, Printed };

// The last state the printer reported, for the records; zero-filled: none.
struct PrinterState {
    bool reported;
    DWORD reasons; // kPrinter* bits of a fault
    DWORD labelsRemaining;
    DWORD formatsInBuffer;
};

struct JobOutcome {
    JobTransport transport;
    // The printer the job went to, as a device URI ("socket://10.0.0.5:9100"), or "" before
    // the worker knows it.
    char target[kTargetUriSize];
    // Bytes the printer's channel took (a partial label counts what got through).
    unsigned long long bytesAccepted;
    // The input's size as the job measured it, for the log once a printed input is deleted;
    // 0 until then.
    unsigned long long inputSize;
    Confirmed confirmed;
    PrinterState printer;
    // Where the job's printer came from; None before the worker knows it.
    SettingPlace settings;
    // Why a stored printer (a "Printer" device URI) cannot be used, for the message of a
    // settings failure; "" when no such problem ended the job.
    char printerProblem[kTextBufferSize];
};

extern JobOptions g_jobOptions;
extern JobOutcome g_jobOutcome;
