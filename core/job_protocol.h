// What a job and the launcher share: job results, job messages, buffer sizes and the
// process-wide values (instance, progress window, last job error).
#pragma once

#include "platform/win32.h"

// The integer with which a job ends; 0 means done.
enum class JobResult : int {
    Done = 0,
    SettingsError = 1,
    InputFileError = 2,
    PortOpenError = 3,
    PortSettingsReadError = 4,
    PortConfigError = 5,
    PortWriteError = 6,
    ReadWriteError = 7,
    PrinterListError = 8,
    InitFileError = 9,
    // The job failed and has already shown the user its own message: the launcher ends
    // the process as after an error, without a second message.
    FailureAlreadyShown = 10,
    // A raw printer queue refused the job; one value per call, so that the message names it.
    QueueOpenError = 11,
    QueueStartError = 12,
    QueueWriteError = 13,
    QueueEndError = 14,
    // The printer answered the host status query with a condition it cannot print in;
    // WM_JOB_DONE then carries the PrinterNotReady* bits in place of a system error code.
    PrinterNotReady = 15,
    // The label was sent and deleted, but the printer did not confirm that it printed it.
    // Held: the printer has it and reports a fault (wParam: the kPrinter* bits). Unconfirmed:
    // the printer never said (wParam: one of the kUnconfirmed* codes).
    PrinterHeld = 16,
    PrinterUnconfirmed = 17,
};

// Why a sent label went unconfirmed: the code that comes with JobResult::PrinterUnconfirmed.
constexpr DWORD kUnconfirmedNoAnswer = 1;
constexpr DWORD kUnconfirmedNoProgress = 2;
constexpr DWORD kUnconfirmedConnectionEnded = 3;

// Why a printer is not ready: bits of the code that comes with JobResult::PrinterNotReady.
constexpr DWORD kPrinterPaperOut = 0x1;
constexpr DWORD kPrinterRibbonOut = 0x2;
constexpr DWORD kPrinterHeadOpen = 0x4;
constexpr DWORD kPrinterPaused = 0x8;
// The errors that "~HQES" names (its ribbon out and head open are the bits above).
constexpr DWORD kPrinterMediaOut = 0x10;
constexpr DWORD kPrinterCutterFault = 0x20;
constexpr DWORD kPrinterHeadOverTemperature = 0x40;
constexpr DWORD kPrinterMotorOverTemperature = 0x80;
constexpr DWORD kPrinterBadHeadElement = 0x100;
constexpr DWORD kPrinterHeadDetectionError = 0x200;
constexpr DWORD kPrinterInvalidFirmwareConfig = 0x400;
constexpr DWORD kPrinterHeadThermistorOpen = 0x800;
constexpr DWORD kPrinterJamDuringRetract = 0x1000;
constexpr DWORD kPrinterPresenterNotRunning = 0x2000;
constexpr DWORD kPrinterPaperFeedError = 0x4000;
constexpr DWORD kPrinterClearPathFailed = 0x8000;
// An error without a name of its own: its bits are in g_printerUnnamedErrors.
constexpr DWORD kPrinterOtherError = 0x80000000;

// Reports from the worker to the progress window, each sent with SendMessageA.
constexpr UINT WM_JOB_STATUS = WM_APP + 1;  // wParam: string id (0 clears the line)
constexpr UINT WM_JOB_RANGE = WM_APP + 2;   // lParam: size modulo 65536, in the high word
constexpr UINT WM_JOB_ADVANCE = WM_APP + 3; // wParam: bytes just handed to the printer
constexpr UINT WM_JOB_DONE = WM_APP + 4;    // wParam: system error code; lParam: JobResult

constexpr int kTextBufferSize = 2048; // registry values, string-table texts, messages
constexpr int kPathBufferSize = 2049; // the input path and the system error text
constexpr int kMaxPathLength = kPathBufferSize - 1;
constexpr DWORD kCopyChunkSize = 512;       // paced copies (Delay above 0)
constexpr DWORD kFastCopyBlockSize = 65536; // copies without a pause (Delay 0)

extern HINSTANCE g_instance;  // the program's own module
extern HWND g_progressWindow; // set before the worker starts
extern DWORD g_lastJobError;  // error code of the last WM_JOB_DONE
// The "~HQES" error bits of the last refusal that have no name (group 2, group 1), set
// before its WM_JOB_DONE, so that the message can show them.
extern DWORD g_printerUnnamedErrors[2];
