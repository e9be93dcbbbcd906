// The driver transport: the label drawn as passthrough text, in one line on one page of a raw
// print job, on the Windows printer named by Port, which is made the user's default printer
// for the duration of the job and then given back.
#include "transport/driver_transport.h"

#include "core/file_names.h"
#include "core/job_request.h"
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

// Makes the configured printer the default unless the launcher has cut the job off.
bool MakeLabelPrinterDefault(const char* savedPrinter, const char* labelPrinter) {
    if (InterlockedCompareExchange(&g_swapState, SwapBusy, SwapIdle) != SwapIdle) {
        return false;
    }
    std::snprintf(g_swappedOutPrinter, sizeof g_swappedOutPrinter, "%s", savedPrinter);
    SetDefaultPrinterA(labelPrinter);
    InterlockedExchange(&g_swapState, SwapHeld);
    return true;
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

// Waits for the driver jobs of every instance before this one; an abandoned mutex is owned
// all the same.
bool TakeDriverTurn(DriverHold* hold, JobFailure* failure) {
    hold->mutex = CreateMutexA(nullptr, FALSE, kDriverMutexName);
    if (hold->mutex == nullptr) {
        return FailStep(failure, GetLastError(), JobResult::PortOpenError);
    }
    DWORD wait = WaitForSingleObject(hold->mutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        return FailStep(failure, GetLastError(), JobResult::PortOpenError);
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
    if (!MakeLabelPrinterDefault(hold->savedPrinter, job->valueBuffer)) {
        // The user has cut the job off and the process is ending: nothing is printed.
        return FailStep(failure, ERROR_CANCELLED, JobResult::Done);
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
    // A printer named on the command line comes without a settings key.
    if (job->settingsKey != nullptr) {
        RegCloseKey(job->settingsKey);
        job->settingsKey = nullptr;
    }

    // A file that cannot be read whole is refused before the default printer is touched.
    if (!MeasureInputFile(job, &hold, &failure) || !TakeDriverTurn(&hold, &failure) ||
        !SwapDefaultPrinter(job, &hold, &failure) || !GetPrinterContext(&hold, &failure) ||
        !StartLabelDocument(&hold, &failure) || !ReadLabel(job, &hold, &failure) ||
        !DrawLabel(&hold, &failure)) {
        return EndFailedJob(job, &hold, failure);
    }
    return EndSucceededJob(job, &hold);
}
