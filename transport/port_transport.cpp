// Sends a job to a label printer on a serial (COM) or parallel (LPT) port, and writes the
// comm diagnostic log when a serial port refuses its line settings.
#include "transport/port_transport.h"

#include "core/file_names.h"
#include "resources/resource_ids.h"
#include "settings/setting_places.h"
#include "settings/settings_store.h"
#include "transport/job_target.h"
#include "transport/print_confirmation.h"
#include "transport/printer_status.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kPortOpenPause = 500;
constexpr char kCommLogName[] = "C:\\tagwrightLog.txt";

// fRtsControl cleared (RTS held low), fOutX and fInX set (XON/XOFF both ways).
void ApplyFlowControl(DCB* dcb) {
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
    dcb->fOutX = 1;
    dcb->fInX = 1;
}

BYTE ParityFromText(const char* text) {
    if (std::strcmp(text, "even") == 0) {
        return EVENPARITY;
    }
    if (std::strcmp(text, "odd") == 0) {
        return ODDPARITY;
    }
    return NOPARITY;
}

BYTE StopBitsFromText(const char* text) {
    if (std::strcmp(text, "1") == 0) {
        return ONESTOPBIT;
    }
    if (std::strcmp(text, "1.5") == 0) {
        return ONE5STOPBITS;
    }
    if (std::strcmp(text, "2") == 0) {
        return TWOSTOPBITS;
    }
    return ONESTOPBIT;
}

// Writes the whole chunk: a port whose driver has write time-outs may take part of it.
// A write that fails, or that succeeds without taking anything, ends the copy.
bool WritePortChunk(void* channel, const char* chunk, DWORD count) {
    HANDLE port = static_cast<HANDLE>(channel);
    DWORD done = 0;
    while (done < count) {
        DWORD written = 0;
        if (!WriteFile(port, chunk + done, count - done, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        done += written < count - done ? written : count - done;
    }
    return true;
}

// A job for a printer named on the command line has no settings key open.
void ReleaseSettingsKey(TransportJob* job) {
    CloseSettingPlaces(job->settings);
}

// What the job holds beyond the hand-over record; each exit releases what is set here.
struct PortHold {
    HANDLE port; // INVALID_HANDLE_VALUE until opened
    char* chunkBuffer;
    // How a delivered job ends: done, or sent but held or unconfirmed by the printer.
    JobFailure delivered;
};

// A failed job releases, in this order: the chunk buffer, the input file, the port and the
// settings key; then reports.
JobResult EndFailedJob(TransportJob* job, PortHold* hold, const JobFailure& failure) {
    ReleaseChunkBuffer(&hold->chunkBuffer);
    CloseJobInput(&job->inputFile);
    if (hold->port != INVALID_HANDLE_VALUE) {
        CloseHandle(hold->port);
        hold->port = INVALID_HANDLE_VALUE;
    }
    ReleaseSettingsKey(job);
    ReportDone(job->progressWindow, failure.error, failure.result);
    return failure.result;
}

// A delivered job reports completion, releases, deletes its input, reports the end (done, held
// or unconfirmed), and only then lets go of the settings key.
JobResult EndSucceededJob(TransportJob* job, PortHold* hold) {
    ReportStatus(job->progressWindow, IDS_STATUS_COMPLETE);
    ReleaseChunkBuffer(&hold->chunkBuffer);
    CloseJobInput(&job->inputFile);
    CloseHandle(hold->port);
    hold->port = INVALID_HANDLE_VALUE;
    DeleteJobInput(job->path);
    ReportDone(job->progressWindow, hold->delivered.error, hold->delivered.result);
    ReleaseSettingsKey(job);
    return hold->delivered.result;
}

// Opens the device named by the Port text, Attempts times at most with a pause between.
// The Port text is used before anything else reuses the value buffer; the count is tested
// before it is counted down, so that the most negative Attempts cannot wrap.
// Asking a serial printer for its status, or for confirmation, needs the port for reading too.
// A port named by a device URI ("COM10", on the command line or as a stored "Printer") is opened
// in the device namespace and must exist, so that it can neither be taken for a file name nor
// create one; the Port text of the stored settings may name a file, which is opened or created
// as it always was.
bool OpenPort(TransportJob* job, PortHold* hold, bool twoWay, JobFailure* failure) {
    DWORD access = twoWay ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    char device[kTextBufferSize + 4];
    const char* name = job->valueBuffer;
    DWORD disposition = OPEN_ALWAYS;
    const PrinterTarget* target = job->target;
    if (target != nullptr) {
        std::snprintf(device, sizeof device, "\\\\.\\%s", target->name);
        name = device;
        disposition = OPEN_EXISTING;
    }
    int remaining = job->attempts;
    while ((hold->port = CreateFileA(name, access, 0, nullptr, disposition, 0, nullptr)) ==
               INVALID_HANDLE_VALUE &&
           remaining > 1 && PauseAndContinue(kPortOpenPause)) {
        --remaining;
    }
    if (hold->port == INVALID_HANDLE_VALUE) {
        return FailStep(failure, GetLastError(), JobResult::PortOpenError);
    }
    return true;
}

// Reads one line value into the job's value buffer; false when it is missing.
bool ReadLineValue(TransportJob* job, const char* name, JobFailure* failure) {
    if (!ReadPlacedSetting(job->settings, name, job->valueBuffer, nullptr)) {
        return FailStep(failure, GetLastError(), JobResult::SettingsError);
    }
    return true;
}

// The stored line values, read in their order; a serial printer they describe is then named
// in the job's outcome. False when one is missing.
bool ReadStoredLineValues(TransportJob* job, bool serial, DCB* dcb, JobFailure* failure) {
    PrinterTarget stored{};
    stored.kind = TargetKind::Serial;
    std::snprintf(stored.name, sizeof stored.name, "%s", job->valueBuffer);
    if (!ReadLineValue(job, kBaudOrAddressValue, failure)) {
        return false;
    }
    dcb->BaudRate = static_cast<DWORD>(SettingNumber(job->valueBuffer));
    if (!ReadLineValue(job, kDataBitsValue, failure)) {
        return false;
    }
    dcb->ByteSize = static_cast<BYTE>(SettingNumber(job->valueBuffer) & 0xFF);
    if (!ReadLineValue(job, kParityValue, failure)) {
        return false;
    }
    dcb->Parity = ParityFromText(job->valueBuffer);
    if (!ReadLineValue(job, kStopBitsValue, failure)) {
        return false;
    }
    dcb->StopBits = StopBitsFromText(job->valueBuffer);
    stored.baudRate = dcb->BaudRate;
    stored.dataBits = dcb->ByteSize;
    stored.parity = dcb->Parity;
    stored.stopBits = dcb->StopBits;
    if (serial) {
        RecordJobTarget(&stored);
    }
    return true;
}

// Sets flow control and the line values on a serial port: those of the printer's device URI,
// else the stored ones. A parallel port has no line settings: its answers to
// reading and setting them do not matter, but the stored values are still read. A refusal
// is written to the comm diagnostic log.
bool ApplyLineSettings(TransportJob* job, PortHold* hold, PortMode mode, JobFailure* failure) {
    bool serial = mode == PortMode::Serial;
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(hold->port, &dcb) && serial) {
        return FailStep(failure, GetLastError(), JobResult::PortSettingsReadError);
    }
    ApplyFlowControl(&dcb);
    const PrinterTarget* target = job->target;
    if (target == nullptr) {
        if (!ReadStoredLineValues(job, serial, &dcb, failure)) {
            return false;
        }
    } else {
        dcb.BaudRate = target->baudRate;
        dcb.ByteSize = target->dataBits;
        dcb.Parity = target->parity;
        dcb.StopBits = target->stopBits;
    }
    if (serial && !SetCommState(hold->port, &dcb)) {
        // The port's own refusal is what the user must see: opening the log (an existing
        // file leaves "already exists") and the releases would put their codes in its place.
        DWORD refusal = GetLastError();
        CommDiagnosticLog(&dcb);
        return FailStep(failure, refusal, JobResult::PortConfigError);
    }
    return true;
}

// With a time-out in force, a write that makes no progress for that long (a printer that
// sent XOFF and never XON) returns short, which ends the copy as a write failure. A parallel
// port's driver may not take time-outs; it is then written to as before.
bool ApplyWriteTimeout(const TransportJob* job, PortHold* hold, PortMode mode,
                       JobFailure* failure) {
    if (job->timeout <= 0) {
        return true;
    }
    constexpr DWORD kLongestSeconds = MAXDWORD / 1000;
    auto seconds = static_cast<DWORD>(job->timeout);
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof(timeouts));
    timeouts.WriteTotalTimeoutConstant =
        (seconds < kLongestSeconds ? seconds : kLongestSeconds) * 1000;
    if (!SetCommTimeouts(hold->port, &timeouts) && mode == PortMode::Serial) {
        return FailStep(failure, GetLastError(), JobResult::PortConfigError);
    }
    return true;
}

// Asks the printer for its status when the settings want it; a printer that answers with a
// condition it cannot print in gets no label. A silent or garbled answer lets the label go.
bool CheckPrinterReady(PortHold* hold, bool checkStatus, JobFailure* failure) {
    if (!checkStatus) {
        return true;
    }
    PrinterReport report{};
    if (!QueryPortPrinterStatus(hold->port, &report)) {
        return FailStep(failure, GetLastError(), JobResult::PortWriteError);
    }
    DWORD refusal = PrinterRefusal(report);
    RecordCheckedState(report, refusal);
    if (refusal != 0) {
        return FailStep(failure, refusal, JobResult::PrinterNotReady);
    }
    return true;
}

// Announces the size, then copies the input to the port.
bool SendLabel(TransportJob* job, PortHold* hold, JobFailure* failure) {
    ReportStatus(job->progressWindow, IDS_STATUS_SENDING);
    ReportInputSize(job);
    CopyOutcome outcome = JobCopyLoop(job->inputFile, job->progressWindow, WritePortChunk,
                                      hold->port, &hold->chunkBuffer, CopyChunkSize(job->delay));
    if (outcome != CopyOutcome::Completed) {
        return FailStep(failure, GetLastError(),
                        outcome == CopyOutcome::ReadFailed ? JobResult::InputFileError
                                                           : JobResult::PortWriteError);
    }
    return true;
}

// With confirmation, asks the printer over the port after the last block. A parallel port
// has no way back: confirmation is off there.
bool ConfirmLabel(const TransportJob* job, PortHold* hold, PortMode mode, JobFailure* failure) {
    if (mode != PortMode::Serial || job->confirm == ConfirmLevel::Off) {
        return true;
    }
    Confirmation confirmation = ConfirmOverPort(hold->port, job->confirm, job->timeout);
    return TakeConfirmation(confirmation, &hold->delivered, failure);
}

} // namespace

void CommDiagnosticLog(const DCB* dcb) {
    FILE* log = std::fopen(kCommLogName, "a");
    if (log == nullptr) {
        return;
    }
    std::fprintf(log, "Could not apply comm settings.\n");
    std::fprintf(log, "BaudRate: %d\n", static_cast<int>(dcb->BaudRate));
    std::fprintf(log, "fBinary: %d\n", static_cast<int>(dcb->fBinary));
    std::fprintf(log, "fParity: %d\n", static_cast<int>(dcb->fParity));
    std::fprintf(log, "fOutxCtsFlow: %d\n", static_cast<int>(dcb->fOutxCtsFlow));
    std::fprintf(log, "fOutxDsrFlow: %d\n", static_cast<int>(dcb->fOutxDsrFlow));
    std::fprintf(log, "fDtrControl: %d\n", static_cast<int>(dcb->fDtrControl));
    std::fprintf(log, "fDsrSensitivity: %d\n", static_cast<int>(dcb->fDsrSensitivity));
    std::fprintf(log, "fTXContinueOnXoff: %d\n", static_cast<int>(dcb->fTXContinueOnXoff));
    std::fprintf(log, "fOutX: %d\n", static_cast<int>(dcb->fOutX));
    std::fprintf(log, "fInX: %d\n", static_cast<int>(dcb->fInX));
    std::fprintf(log, "fErrorChar: %d\n", static_cast<int>(dcb->fErrorChar));
    std::fprintf(log, "fNull: %d\n", static_cast<int>(dcb->fNull));
    std::fprintf(log, "fRtsControl: %d\n", static_cast<int>(dcb->fRtsControl));
    std::fprintf(log, "fAbortOnError: %d\n", static_cast<int>(dcb->fAbortOnError));
    std::fprintf(log, "fDummy2: %d\n", static_cast<int>(dcb->fDummy2));
    std::fprintf(log, "wReserved: %d\n", static_cast<int>(dcb->wReserved));
    std::fprintf(log, "XonLim: %d\n", static_cast<int>(dcb->XonLim));
    std::fprintf(log, "XoffLim: %d\n", static_cast<int>(dcb->XoffLim));
    std::fprintf(log, "Parity: %d\n", static_cast<int>(dcb->Parity));
    std::fprintf(log, "StopBits: %d\n", static_cast<int>(dcb->StopBits));
    std::fprintf(log, "XonChar: %c\n", static_cast<unsigned char>(dcb->XonChar));
    std::fprintf(log, "XoffChar: %c\n", static_cast<unsigned char>(dcb->XoffChar));
    std::fprintf(log, "ErrorChar: %c\n", static_cast<unsigned char>(dcb->ErrorChar));
    std::fprintf(log, "EofChar: %c\n", static_cast<unsigned char>(dcb->EofChar));
    std::fprintf(log, "EvtChar: %c\n", static_cast<unsigned char>(dcb->EvtChar));
    std::fclose(log);
}

JobResult PortTransport(TransportJob* job, PortMode mode) {
    PortHold hold{INVALID_HANDLE_VALUE, nullptr, {0, JobResult::Done}};
    JobFailure failure{0, JobResult::Done};
    // A printer named on the command line has no stored settings to ask for its status.
    bool checkStatus = mode == PortMode::Serial && SettingPlacesOpen(job->settings) &&
                       PlacedStatusCheck(job->settings);
    bool confirm = mode == PortMode::Serial && job->confirm != ConfirmLevel::Off;
    if (!OpenPort(job, &hold, checkStatus || confirm, &failure) ||
        !ApplyLineSettings(job, &hold, mode, &failure) ||
        !ApplyWriteTimeout(job, &hold, mode, &failure) ||
        !CheckPrinterReady(&hold, checkStatus, &failure) || !SendLabel(job, &hold, &failure) ||
        !ConfirmLabel(job, &hold, mode, &failure)) {
        return EndFailedJob(job, &hold, failure);
    }
    return EndSucceededJob(job, &hold);
}
