// The driver transport: the label drawn as passthrough text, in one line on one page of a raw
// print job, on the Windows printer named by Port, which is made the user's default printer
// for the duration of the job and then given back.
#include "transport/driver_transport.h"

#include "core/file_names.h"
#include "core/job_request.h"
#include "settings/setting_places.h"
#include "transport/job_turn.h"
#include "transport/passthrough_encoder.h"

#include <climits>
#include <cstdio>

const char kPrintDialogFailed[] = "PrintDlg failed!";

namespace {

// Driver jobs of every instance take turns through this mutex: two jobs that swapped the
// default printer at once could restore each other's names in the wrong order.
constexpr char kDriverMutexName[] = "TagwrightDriverJob";
constexpr DWORD kPrinterNameSize = 2048;
constexpr char kDocumentName[] = "Label";
constexpr char kDataType[] = "raw";
constexpr int kTextX = 1;
constexpr int kTextY = 1;
// Ports through which the spooler writes a file, or asks the user for one, or opens a window
// of its own (the fax printer), in place of printing: a quiet job cannot use them.
const char* const kWindowedPorts[] = {"FILE:", "PORTPROMPT:", "XPSPort:", "SHRFAX:"};
constexpr DWORD kPrinterInfoLevel = 5;

// Who has the user's default printer. A swap or a give-back is carried out in the Busy state,
// so that the launcher, which must not let the process end in the middle of either, can
// wait for it; once the launcher has cut the job off, no swap starts.
enum SwapState : LONG {
    SwapIdle = 0,   // the user's own default is in place; a job may swap it
    SwapBusy = 1,   // a swap or a give-back is under way
    SwapHeld = 2,   // the label printer is the default; g_swappedOutPrinter is to return
    SwapCutOff = 3, // the launcher gave the default back or found it in place: no swaps
};
constexpr DWORD kSwapWaitPause = 1;

char g_swappedOutPrinter[kPrinterNameSize];
LONG volatile g_swapState = SwapIdle;

// What the job holds beyond the hand-over record; each exit releases what is set here.
struct DriverHold {
    HANDLE mutex;
    bool mutexOwned;
    char* savedPrinter; // the user's default printer, set while it is swapped out
    HDC dc;
    bool documentOpen;
    DWORD fileSize;
    char* fileText;
    char* output;
};

void ReleaseBlock(char** block) {
    if (*block != nullptr) {
        HeapFree(GetProcessHeap(), 0, *block);
        *block = nullptr;
    }
}

// The job's own give-back: only when it still holds the swap, which the launcher may have
// taken over and given back already.
void GiveBackOwnSwap() {
    if (InterlockedCompareExchange(&g_swapState, SwapBusy, SwapHeld) == SwapHeld) {
        SetDefaultPrinterA(g_swappedOutPrinter);
        InterlockedExchange(&g_swapState, SwapIdle);
    }
}

enum class SwapOutcome { Swapped, CutOff, Refused };

// Makes the configured printer the default unless the launcher has cut the job off. A name
// the spooler refuses leaves the user's default as it was, with nothing to give back: the
// print dialog would otherwise hand out that default, and the label would print there.
SwapOutcome MakeLabelPrinterDefault(const char* savedPrinter, const char* labelPrinter) {
    if (InterlockedCompareExchange(&g_swapState, SwapBusy, SwapIdle) != SwapIdle) {
        return SwapOutcome::CutOff;
    }
    std::snprintf(g_swappedOutPrinter, sizeof g_swappedOutPrinter, "%s", savedPrinter);
    // An empty name would keep (or pick) some default: it names no printer of the user's.
    if (labelPrinter[0] == '\0') {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        InterlockedExchange(&g_swapState, SwapIdle);
        return SwapOutcome::Refused;
    }
    if (!SetDefaultPrinterA(labelPrinter)) {
        DWORD error = GetLastError();
        InterlockedExchange(&g_swapState, SwapIdle);
        SetLastError(error);
        return SwapOutcome::Refused;
    }
    InterlockedExchange(&g_swapState, SwapHeld);
    return SwapOutcome::Swapped;
}

// Gives the user's default printer back, then lets the next driver job swap it. A mutex
// that was never owned is only closed.
void RestoreDefaultPrinter(DriverHold* hold) {
    if (hold->mutexOwned) {
        GiveBackOwnSwap();
        ReleaseBlock(&hold->savedPrinter);
        ReleaseMutex(hold->mutex);
        hold->mutexOwned = false;
    }
    if (hold->mutex != nullptr) {
        CloseHandle(hold->mutex);
        hold->mutex = nullptr;
    }
}

// A started document is abandoned rather than ended, so that nothing half made is printed.
void DeleteDeviceContext(DriverHold* hold) {
    if (hold->dc == nullptr) {
        return;
    }
    if (hold->documentOpen) {
        AbortDoc(hold->dc);
        hold->documentOpen = false;
    }
    DeleteDC(hold->dc);
    hold->dc = nullptr;
}

// A failed job releases, in this order: the default printer and the turn of the driver jobs,
// the input file, the file's text, the encoded label, the device context (abandoning its
// document); then reports. What a step has already released is passed over.
JobResult EndFailedJob(TransportJob* job, DriverHold* hold, const JobFailure& failure) {
    RestoreDefaultPrinter(hold);
    CloseJobInput(&job->inputFile);
    ReleaseBlock(&hold->fileText);
    if (hold->output != nullptr) {
        ReleasePassthrough(hold->output);
        hold->output = nullptr;
    }
    DeleteDeviceContext(hold);
    ReportDone(job->progressWindow, failure.error, failure.result);
    return failure.result;
}

JobResult EndSucceededJob(TransportJob* job, DriverHold* hold) {
    RestoreDefaultPrinter(hold);
    DeleteDeviceContext(hold);
    DeleteJobInput(job->path);
    ReportDone(job->progressWindow, 0, JobResult::Done);
    return JobResult::Done;
}

// Takes the size of an open input before anything is swapped or allocated: the whole file
// and its NUL must fit one read. False when they do not, or when the size cannot be had. An
// input that is not open is left to fail at its read.
bool MeasureInputFile(TransportJob* job, DriverHold* hold, JobFailure* failure) {
    hold->fileSize = 0;
    if (job->inputFile == INVALID_HANDLE_VALUE) {
        return true;
    }
    DWORD high = 0;
    // A size whose low part is all ones is told from a failure by a last error of 0.
    SetLastError(NO_ERROR);
    DWORD low = GetFileSize(job->inputFile, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        return FailStep(failure, GetLastError(), JobResult::InputFileError);
    }
    if (high != 0 || low == INVALID_FILE_SIZE) {
        return FailStep(failure, ERROR_FILE_TOO_LARGE, JobResult::InputFileError);
    }
    hold->fileSize = low;
    g_jobOutcome.inputSize = low;
    return true;
}

// Reads the whole input into a zero-filled block of its size + 1 bytes, NUL-terminated
// whatever the read returned. False with the last error set when it cannot.
bool ReadWholeFile(TransportJob* job, DriverHold* hold) {
    DWORD size = hold->fileSize;
    hold->fileText = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 1));
    if (hold->fileText == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    DWORD read = 0;
    if (!ReadFile(job->inputFile, hold->fileText, size + 1, &read, nullptr)) {
        return false;
    }
    // A file that grew since its size was taken fills the last byte too.
    hold->fileText[read <= size ? read : size] = '\0';
    return true;
}

// True when `port` (one entry of a printer's port list) is one of kWindowedPorts, in any case.
bool IsWindowedPort(const char* port, std::size_t length) {
    for (const char* windowed : kWindowedPorts) {
        std::size_t at = 0;
        while (at < length && windowed[at] != '\0' && (port[at] | 0x20) == (windowed[at] | 0x20)) {
            ++at;
        }
        if (at == length && windowed[at] == '\0') {
            return true;
        }
    }
    return false;
}

// True when any entry of the comma-separated port list is a windowed port.
bool HasWindowedPort(const char* ports) {
    const char* entry = ports;
    for (const char* at = ports;; ++at) {
        if (*at == ',' || *at == '\0') {
            if (IsWindowedPort(entry, static_cast<std::size_t>(at - entry))) {
                return true;
            }
            if (*at == '\0') {
                return false;
            }
            entry = at + 1;
        }
    }
}

// The ports of the printer named by Port, through the open printer: a block from the process
// heap for the caller to free, or nullptr with the last error set.
PRINTER_INFO_5A* ReadPrinterPorts(HANDLE printer) {
    DWORD needed = 0;
    if (GetPrinterA(printer, kPrinterInfoLevel, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed < sizeof(PRINTER_INFO_5A)) {
        if (GetLastError() == NO_ERROR) {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        return nullptr;
    }
    auto* info =
        static_cast<PRINTER_INFO_5A*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
    if (info == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!GetPrinterA(printer, kPrinterInfoLevel, reinterpret_cast<LPBYTE>(info), needed, &needed)) {
        DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, info);
        SetLastError(error);
        return nullptr;
    }
    return info;
}

// A quiet job shows no window: a printer that prints to a file, asks where to save, or
// opens a window of its own is refused before the default printer is touched, as a printer
// that cannot be opened. A job a user watches keeps today's calls.
bool RefuseWindowedPrinter(TransportJob* job, JobFailure* failure) {
    if (!g_jobOptions.quiet) {
        return true;
    }
    // An empty name would open the print server, not a printer.
    if (job->valueBuffer[0] == '\0') {
        return FailStep(failure, ERROR_INVALID_PRINTER_NAME, JobResult::PortOpenError);
    }
    HANDLE printer = nullptr;
    if (!OpenPrinterA(job->valueBuffer, &printer, nullptr)) {
        return FailStep(failure, GetLastError(), JobResult::PortOpenError);
    }
    PRINTER_INFO_5A* info = ReadPrinterPorts(printer);
    DWORD error = info == nullptr ? GetLastError() : NO_ERROR;
    if (info != nullptr) {
        if (info->pPortName != nullptr && HasWindowedPort(info->pPortName)) {
            error = ERROR_NOT_SUPPORTED;
        }
        HeapFree(GetProcessHeap(), 0, info);
    }
    ClosePrinter(printer);
    if (error != NO_ERROR) {
        return FailStep(failure, error, JobResult::PortOpenError);
    }
    return true;
}

// Waits for the driver jobs of every instance before this one, within the job's limit; an
// abandoned mutex is owned all the same. A turn that does not come in time ends the job as a
// printer not reached, with nothing swapped.
bool TakeDriverTurn(TransportJob* job, DriverHold* hold, JobFailure* failure) {
    hold->mutex = CreateMutexA(nullptr, FALSE, kDriverMutexName);
    if (hold->mutex == nullptr) {
        return FailStep(failure, GetLastError(), JobResult::PortOpenError);
    }
    DWORD error = NO_ERROR;
    if (!WaitForJobTurn(hold->mutex, job, &error)) {
        return FailStep(failure, error,
                        error == ERROR_TIMEOUT ? JobResult::PortConfigError
                                               : JobResult::PortOpenError);
    }
    hold->mutexOwned = true;
    return true;
}

// Saves the user's default printer and makes the label printer named by Port the default.
bool SwapDefaultPrinter(TransportJob* job, DriverHold* hold, JobFailure* failure) {
    hold->savedPrinter =
        static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kPrinterNameSize));
    if (hold->savedPrinter == nullptr) {
        // Nothing has been swapped: without room for the name there is nothing to give back.
        return FailStep(failure, ERROR_NOT_ENOUGH_MEMORY, JobResult::PortOpenError);
    }
    DWORD savedSize = kPrinterNameSize;
    if (!GetDefaultPrinterA(hold->savedPrinter, &savedSize)) {
        DWORD error = GetLastError();
        hold->savedPrinter[0] = '\0';
        // A default printer that cannot be read could not be given back: the swap would
        // leave the label printer as the user's default for good. With no default printer
        // at all, the empty name is what is given back.
        if (error != ERROR_FILE_NOT_FOUND) {
            return FailStep(failure, error, JobResult::PortOpenError);
        }
    }
    hold->savedPrinter[kPrinterNameSize - 1] = '\0';
    switch (MakeLabelPrinterDefault(hold->savedPrinter, job->valueBuffer)) {
    case SwapOutcome::Swapped:
        break;
    case SwapOutcome::CutOff:
        // The user has cut the job off and the process is ending: nothing is printed.
        return FailStep(failure, ERROR_CANCELLED, JobResult::Done);
    case SwapOutcome::Refused:
        // Nothing was swapped: nothing is given back.
        return FailStep(failure, GetLastError(), JobResult::PortOpenError);
    }
    return true;
}

// The print dialog library failed: its own message box says so on this thread (not in quiet
// mode, where no window is shown), and the job then ends as one whose failure has already
// been shown.
bool ShowPrintDialogFailure(JobFailure* failure) {
    DWORD dialogError = CommDlgExtendedError();
    char caption[64];
    std::snprintf(caption, sizeof caption, "Print dialog error %lu",
                  static_cast<unsigned long>(dialogError));
    if (!g_jobOptions.quiet) {
        MessageBoxA(nullptr, kPrintDialogFailed, caption, MB_OK | MB_ICONERROR);
    }
    return FailStep(failure, dialogError, JobResult::FailureAlreadyShown);
}

// The device context of the default printer, which is now the label printer.
bool GetPrinterContext(DriverHold* hold, JobFailure* failure) {
    PRINTDLGA printDialog = {};
    printDialog.lStructSize = sizeof(printDialog);
    printDialog.Flags = PD_RETURNDC | PD_RETURNDEFAULT;
    // Quiet: no box saying that there is no default printer.
    if (g_jobOptions.quiet) {
        printDialog.Flags |= PD_NOWARNING;
    }
    BOOL gotContext = PrintDlgA(&printDialog);
    // The device mode and names of the default printer are not needed here.
    if (printDialog.hDevMode != nullptr) {
        GlobalFree(printDialog.hDevMode);
    }
    if (printDialog.hDevNames != nullptr) {
        GlobalFree(printDialog.hDevNames);
    }
    if (!gotContext) {
        return ShowPrintDialogFailure(failure);
    }
    hold->dc = printDialog.hDC;
    // Cut off before the context was had, the context may be the given-back default's.
    if (g_swapState != SwapHeld) {
        return FailStep(failure, ERROR_CANCELLED, JobResult::Done);
    }
    return true;
}

// One raw document with one page.
bool StartLabelDocument(DriverHold* hold, JobFailure* failure) {
    DOCINFOA document = {};
    document.cbSize = sizeof(document);
    document.lpszDocName = kDocumentName;
    document.lpszOutput = nullptr;
    document.lpszDatatype = kDataType;
    document.fwType = 0;
    if (StartDocA(hold->dc, &document) <= 0) {
        return FailStep(failure, GetLastError(), JobResult::PortOpenError);
    }
    hold->documentOpen = true;
    if (StartPage(hold->dc) <= 0) {
        return FailStep(failure, GetLastError(), JobResult::PortOpenError);
    }
    return true;
}

// Reads the label text whole, then lets go of the input file whatever came of the read.
// One draw call carries at most INT_MAX bytes: a label whose encoded form is longer is
// refused as an input that cannot be sent, before the encoder takes memory for it.
bool ReadLabel(TransportJob* job, DriverHold* hold, JobFailure* failure) {
    bool read = ReadWholeFile(job, hold);
    DWORD error = read ? NO_ERROR : GetLastError();
    CloseJobInput(&job->inputFile);
    if (!read) {
        return FailStep(failure, error, JobResult::InputFileError);
    }
    if (PassthroughLength(hold->fileText) > static_cast<size_t>(INT_MAX)) {
        return FailStep(failure, ERROR_FILE_TOO_LARGE, JobResult::InputFileError);
    }
    return true;
}

// Draws the encoded label in one call and ends page and document. A page or document the
// spooler did not take is not printed: the input stays for the next run, and the document
// is abandoned.
bool DrawLabel(DriverHold* hold, JobFailure* failure) {
    size_t outputLength = 0;
    hold->output = EncodePassthrough(hold->fileText, &outputLength);
    DWORD encodeError = GetLastError();
    ReleaseBlock(&hold->fileText);
    if (hold->output == nullptr) {
        return FailStep(failure, encodeError, JobResult::PortWriteError);
    }
    // The label is drawn in one call: a cut-off that came before it stops the job here.
    if (JobStopRequested()) {
        return FailStep(failure, ERROR_CANCELLED, JobResult::Done);
    }
    if (!TextOutA(hold->dc, kTextX, kTextY, hold->output, static_cast<int>(outputLength))) {
        return FailStep(failure, GetLastError(), JobResult::PortWriteError);
    }
    ReleasePassthrough(hold->output);
    hold->output = nullptr;
    if (EndPage(hold->dc) <= 0 || EndDoc(hold->dc) <= 0) {
        return FailStep(failure, GetLastError(), JobResult::PortWriteError);
    }
    hold->documentOpen = false;
    // The spooler has taken the document: the whole label has gone to the printer.
    g_jobOutcome.bytesAccepted += hold->fileSize;
    return true;
}

} // namespace

void GiveBackDefaultPrinter() {
    for (;;) {
        LONG state = InterlockedCompareExchange(&g_swapState, SwapCutOff, SwapIdle);
        if (state == SwapIdle || state == SwapCutOff) {
            return;
        }
        if (state == SwapHeld &&
            InterlockedCompareExchange(&g_swapState, SwapBusy, SwapHeld) == SwapHeld) {
            SetDefaultPrinterA(g_swappedOutPrinter);
            InterlockedExchange(&g_swapState, SwapCutOff);
            return;
        }
        // The job is swapping or giving back; the process must not end half-way.
        Sleep(kSwapWaitPause);
    }
}

void AllowDefaultPrinterSwap() {
    InterlockedCompareExchange(&g_swapState, SwapIdle, SwapCutOff);
}

JobResult DriverTransport(TransportJob* job) {
    DriverHold hold{nullptr, false, nullptr, nullptr, false, 0, nullptr, nullptr};
    JobFailure failure{0, JobResult::Done};
    // A printer named on the command line comes without a settings key open.
    CloseSettingPlaces(job->settings);

    // A file that cannot be read whole is refused before the default printer is touched.
    if (!MeasureInputFile(job, &hold, &failure) || !RefuseWindowedPrinter(job, &failure) ||
        !TakeDriverTurn(job, &hold, &failure) || !SwapDefaultPrinter(job, &hold, &failure) ||
        !GetPrinterContext(&hold, &failure) || !StartLabelDocument(&hold, &failure) ||
        !ReadLabel(job, &hold, &failure) || !DrawLabel(&hold, &failure)) {
        return EndFailedJob(job, &hold, failure);
    }
    return EndSucceededJob(job, &hold);
}
