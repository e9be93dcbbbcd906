// The driver transport: the label drawn as passthrough text, in one line on one page of a raw
// print job, on the Windows printer named by Port, which is made the user's default printer
// for the duration of the job and then given back.
#include "transport/driver_transport.h"

#include "transport/passthrough_encoder.h"

#include <climits>
#include <cstdio>

namespace {

// Driver jobs of every instance take turns through this mutex: two jobs that swapped the
// default printer at once could restore each other's names in the wrong order.
constexpr char kDriverMutexName[] = "TagwrightDriverJob";
constexpr DWORD kPrinterNameSize = 2048;
constexpr char kDocumentName[] = "Label";
constexpr char kDataType[] = "raw";
constexpr char kPrintDialogFailed[] = "PrintDlg failed!";
constexpr int kTextX = 1;
constexpr int kTextY = 1;

// The name to give back while a job has the default printer swapped out, and whether it
// still has to be given back. Whoever takes the flag (the job on its way out, or the
// launcher when the user cuts the job off) gives the name back, once.
char g_swappedOutPrinter[kPrinterNameSize];
LONG volatile g_defaultSwappedOut = 0;

// What the job holds beyond the hand-over record; each exit releases what is set here.
struct DriverHold {
    HANDLE mutex;       // owned while set
    char* savedPrinter; // the user's default printer, set while it is swapped out
    HDC dc;
    bool documentOpen;
    char* fileText;
    char* output;
};

void CloseInputFile(TransportJob* job) {
    if (job->inputFile != INVALID_HANDLE_VALUE) {
        CloseHandle(job->inputFile);
        job->inputFile = INVALID_HANDLE_VALUE;
    }
}

void ReleaseBlock(char** block) {
    if (*block != nullptr) {
        HeapFree(GetProcessHeap(), 0, *block);
        *block = nullptr;
    }
}

// Gives the user's default printer back, then lets the next driver job swap it.
void RestoreDefaultPrinter(DriverHold* hold) {
    GiveBackDefaultPrinter();
    ReleaseBlock(&hold->savedPrinter);
    if (hold->mutex != nullptr) {
        ReleaseMutex(hold->mutex);
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

JobResult Report(TransportJob* job, DWORD error, JobResult result) {
    ReportDone(job->progressWindow, error, result);
    return result;
}

// The error is the one the failing call left, taken before the releases can change it.
JobResult EndAfterStartFailed(TransportJob* job, DriverHold* hold, DWORD error) {
    RestoreDefaultPrinter(hold);
    CloseInputFile(job);
    DeleteDeviceContext(hold);
    return Report(job, error, JobResult::PortOpenError);
}

JobResult EndAfterReadFailed(TransportJob* job, DriverHold* hold, DWORD error) {
    CloseInputFile(job);
    RestoreDefaultPrinter(hold);
    ReleaseBlock(&hold->fileText);
    DeleteDeviceContext(hold);
    return Report(job, error, JobResult::InputFileError);
}

JobResult EndAfterDrawFailed(TransportJob* job, DriverHold* hold, DWORD error) {
    RestoreDefaultPrinter(hold);
    ReleasePassthrough(hold->output);
    hold->output = nullptr;
    DeleteDeviceContext(hold);
    return Report(job, error, JobResult::PortWriteError);
}

// The print dialog library failed: its own message box says so on this thread, and the job
// then ends as one whose failure has already been shown.
JobResult EndAfterPrintDialogFailed(TransportJob* job, DriverHold* hold) {
    DWORD dialogError = CommDlgExtendedError();
    char caption[64];
    std::snprintf(caption, sizeof caption, "Print dialog error %lu",
                  static_cast<unsigned long>(dialogError));
    MessageBoxA(nullptr, kPrintDialogFailed, caption, MB_OK | MB_ICONERROR);
    RestoreDefaultPrinter(hold);
    CloseInputFile(job);
    return Report(job, dialogError, JobResult::FailureAlreadyShown);
}

// Reads the whole input into a zero-filled block of its size + 1 bytes, NUL-terminated
// whatever the read returned. False with the last error set when it cannot.
bool ReadWholeFile(TransportJob* job, DriverHold* hold) {
    // No file to read also gives INVALID_FILE_SIZE; size + 1 would then wrap to nothing.
    DWORD size = GetFileSize(job->inputFile, nullptr);
    if (size == INVALID_FILE_SIZE) {
        if (GetLastError() == NO_ERROR) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        return false;
    }
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

} // namespace

void GiveBackDefaultPrinter() {
    if (InterlockedExchange(&g_defaultSwappedOut, 0) != 0) {
        SetDefaultPrinterA(g_swappedOutPrinter);
    }
}

JobResult DriverTransport(TransportJob* job) {
    DriverHold hold{nullptr, nullptr, nullptr, false, nullptr, nullptr};
    RegCloseKey(job->settingsKey);
    job->settingsKey = nullptr;

    hold.mutex = CreateMutexA(nullptr, FALSE, kDriverMutexName);
    if (hold.mutex == nullptr) {
        DWORD error = GetLastError();
        CloseInputFile(job);
        return Report(job, error, JobResult::PortOpenError);
    }
    // An abandoned mutex is owned all the same.
    DWORD wait = WaitForSingleObject(hold.mutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        DWORD error = GetLastError();
        CloseHandle(hold.mutex);
        CloseInputFile(job);
        return Report(job, error, JobResult::PortOpenError);
    }

    hold.savedPrinter =
        static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kPrinterNameSize));
    if (hold.savedPrinter == nullptr) {
        // Nothing has been swapped: without room for the name there is nothing to give back.
        RestoreDefaultPrinter(&hold);
        CloseInputFile(job);
        return Report(job, ERROR_NOT_ENOUGH_MEMORY, JobResult::PortOpenError);
    }
    DWORD savedSize = kPrinterNameSize;
    if (!GetDefaultPrinterA(hold.savedPrinter, &savedSize)) {
        DWORD error = GetLastError();
        hold.savedPrinter[0] = '\0';
        // A default printer that cannot be read could not be given back: the swap would
        // leave the label printer as the user's default for good. With no default printer
        // at all, the empty name is what is given back.
        if (error != ERROR_FILE_NOT_FOUND) {
            ReleaseBlock(&hold.savedPrinter);
            RestoreDefaultPrinter(&hold);
            CloseInputFile(job);
            return Report(job, error, JobResult::PortOpenError);
        }
    }
    hold.savedPrinter[kPrinterNameSize - 1] = '\0';
    std::snprintf(g_swappedOutPrinter, sizeof g_swappedOutPrinter, "%s", hold.savedPrinter);
    InterlockedExchange(&g_defaultSwappedOut, 1);
    SetDefaultPrinterA(job->valueBuffer);

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
        return EndAfterPrintDialogFailed(job, &hold);
    }
    hold.dc = printDialog.hDC;

    DOCINFOA document = {};
    document.cbSize = sizeof(document);
    document.lpszDocName = kDocumentName;
    document.lpszOutput = nullptr;
    document.lpszDatatype = kDataType;
    document.fwType = 0;
    if (StartDocA(hold.dc, &document) <= 0) {
        return EndAfterStartFailed(job, &hold, GetLastError());
    }
    hold.documentOpen = true;
    if (StartPage(hold.dc) <= 0) {
        return EndAfterStartFailed(job, &hold, GetLastError());
    }

    if (!ReadWholeFile(job, &hold)) {
        return EndAfterReadFailed(job, &hold, GetLastError());
    }
    CloseInputFile(job);

    size_t outputLength = 0;
    hold.output = EncodePassthrough(hold.fileText, &outputLength);
    DWORD encodeError = GetLastError();
    ReleaseBlock(&hold.fileText);
    if (hold.output == nullptr) {
        return EndAfterDrawFailed(job, &hold, encodeError);
    }
    // One draw call carries at most INT_MAX bytes.
    if (outputLength > static_cast<size_t>(INT_MAX)) {
        return EndAfterDrawFailed(job, &hold, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!TextOutA(hold.dc, kTextX, kTextY, hold.output, static_cast<int>(outputLength))) {
        return EndAfterDrawFailed(job, &hold, GetLastError());
    }

    ReleasePassthrough(hold.output);
    hold.output = nullptr;
    // A page or document the spooler did not take is not printed: the input stays for the
    // next run, and the document is abandoned.
    if (EndPage(hold.dc) <= 0 || EndDoc(hold.dc) <= 0) {
        return EndAfterDrawFailed(job, &hold, GetLastError());
    }
    hold.documentOpen = false;
    RestoreDefaultPrinter(&hold);
    DeleteDeviceContext(&hold);
    DeleteFileA(job->path);
    return Report(job, 0, JobResult::Done);
}
