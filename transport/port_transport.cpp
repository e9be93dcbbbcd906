// Sends a job to a label printer on a serial (COM) or parallel (LPT) port, and writes the
// comm diagnostic log when a serial port refuses its line settings.
#include "transport/port_transport.h"

#include "resources/resource_ids.h"
#include "settings/settings_store.h"
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

void CloseInput(HANDLE inputFile) {
    if (inputFile != INVALID_HANDLE_VALUE) {
        CloseHandle(inputFile);
    }
}

// Every failure after the port was opened releases the input, the port and the key.
void ReleaseOpenPortJob(TransportJob* job, HANDLE port) {
    CloseInput(job->inputFile);
    CloseHandle(port);
    RegCloseKey(job->settingsKey);
}

// The code is the failing call's, taken before the releases can change it.
JobResult EndWithPortOpen(TransportJob* job, HANDLE port, JobResult result) {
    DWORD error = GetLastError();
    ReleaseOpenPortJob(job, port);
    ReportDone(job->progressWindow, error, result);
    return result;
}

// Reads one line value into the job's value buffer; false when it is missing.
bool ReadLineValue(TransportJob* job, const char* name) {
    return ReadSettingValue(job->settingsKey, name, job->valueBuffer);
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
    bool serial = mode == PortMode::Serial;

    // The Port text is used as the device name before anything else reuses the buffer.
    // Tested before it is counted down, so that the most negative Attempts cannot wrap.
    // Asking a serial printer for its status needs the port for reading as well.
    bool checkStatus = serial && StatusCheckWanted(job->settingsKey);
    DWORD access = checkStatus ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    int remaining = job->attempts;
    HANDLE port = INVALID_HANDLE_VALUE;
    while ((port = CreateFileA(job->valueBuffer, access, 0, nullptr, OPEN_ALWAYS, 0, nullptr)) ==
               INVALID_HANDLE_VALUE &&
           remaining > 1 && PauseAndContinue(kPortOpenPause)) {
        --remaining;
    }
    if (port == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        CloseInput(job->inputFile);
        RegCloseKey(job->settingsKey);
        ReportDone(job->progressWindow, error, JobResult::PortOpenError);
        return JobResult::PortOpenError;
    }

    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    // A parallel port has no line settings; its answer here does not matter.
    if (!GetCommState(port, &dcb) && serial) {
        return EndWithPortOpen(job, port, JobResult::PortSettingsReadError);
    }
    ApplyFlowControl(&dcb);
    if (!ReadLineValue(job, kBaudOrAddressValue)) {
        return EndWithPortOpen(job, port, JobResult::SettingsError);
    }
    dcb.BaudRate = static_cast<DWORD>(SettingNumber(job->valueBuffer));
    if (!ReadLineValue(job, kDataBitsValue)) {
        return EndWithPortOpen(job, port, JobResult::SettingsError);
    }
    dcb.ByteSize = static_cast<BYTE>(SettingNumber(job->valueBuffer) & 0xFF);
    if (!ReadLineValue(job, kParityValue)) {
        return EndWithPortOpen(job, port, JobResult::SettingsError);
    }
    dcb.Parity = ParityFromText(job->valueBuffer);
    if (!ReadLineValue(job, kStopBitsValue)) {
        return EndWithPortOpen(job, port, JobResult::SettingsError);
    }
    dcb.StopBits = StopBitsFromText(job->valueBuffer);
    if (serial && !SetCommState(port, &dcb)) {
        // The port's own refusal is what the user must see: opening the log (an existing
        // file leaves "already exists") and the releases would put their codes in its place.
        DWORD refusal = GetLastError();
        CommDiagnosticLog(&dcb);
        ReleaseOpenPortJob(job, port);
        ReportDone(job->progressWindow, refusal, JobResult::PortConfigError);
        return JobResult::PortConfigError;
    }

    if (checkStatus) {
        HostStatus status{};
        if (!QueryPortPrinterStatus(port, &status)) {
            return EndWithPortOpen(job, port, JobResult::PortWriteError);
        }
        if (status.kind == HostStatusKind::NotReady) {
            ReleaseOpenPortJob(job, port);
            ReportDone(job->progressWindow, status.reasons, JobResult::PrinterNotReady);
            return JobResult::PrinterNotReady;
        }
    }

    ReportStatus(job->progressWindow, IDS_STATUS_SENDING);
    DWORD size = GetFileSize(job->inputFile, nullptr);
    // The size travels in the high word, cut to its low 16 bits.
    SendMessageA(job->progressWindow, WM_JOB_RANGE, 0, MAKELPARAM(0, size & 0xFFFFu));

    char* chunk = nullptr;
    CopyOutcome outcome =
        JobCopyLoop(job->inputFile, job->progressWindow, WritePortChunk, port, &chunk);
    if (outcome != CopyOutcome::Completed) {
        ReleaseChunkBuffer(&chunk);
        return EndWithPortOpen(job, port,
                               outcome == CopyOutcome::ReadFailed ? JobResult::InputFileError
                                                                  : JobResult::PortWriteError);
    }
    ReportStatus(job->progressWindow, IDS_STATUS_COMPLETE);
    ReleaseChunkBuffer(&chunk);
    CloseInput(job->inputFile);
    CloseHandle(port);
    DeleteFileA(job->path);
    ReportDone(job->progressWindow, 0, JobResult::Done);
    RegCloseKey(job->settingsKey);
    return JobResult::Done;
}
