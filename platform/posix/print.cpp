// Substitute spooler, print dialog and GDI: a recorded fake of installed printers, the
// default printer, the documents, pages and texts drawn on printer device contexts, and the
// raw bytes written to printer queues.
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <strings.h>

namespace {

struct InstalledPrinter {
    std::string name;
    std::string port;
};

struct PrintState {
    std::mutex lock;
    std::vector<InstalledPrinter> printers;
    std::string defaultPrinter;
    std::vector<substitute::PrintedDocument> documents;
    int nextJobId = 1;
    int gdiFailureResult = SP_ERROR;
    std::deque<DWORD> writeLimits;
    DWORD printDialogFlags = 0;
};

PrintState& State() {
    static PrintState state;
    return state;
}

// A printer device context: the printer it draws on and the document it is drawing.
struct DeviceContext : substitute::KernelObject {
    std::string printer;
    int document = -1;
    bool pageOpen = false;
};

// An open printer queue: the printer and the document being written to it.
struct PrinterHandle : substitute::KernelObject {
    std::string printer;
    int document = -1;
};

thread_local DWORD commDlgError = 0;

// Sizes of the blocks PrintDlgA hands out: an ANSI DEVMODE and a DEVNAMES header.
constexpr size_t kDevModeSize = 156;
constexpr size_t kDeviceNameSize = 32;
constexpr size_t kDevNamesHeader = 4 * sizeof(WORD);

// Runs inside SetDefaultPrinterA, before the default changes; set before threads use it.
std::function<void(const std::string&)>& SetDefaultPrinterHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

[[maybe_unused]] const bool kResetRegistered = [] {
    substitute::AddResetHook([] {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        state.printers.clear();
        state.defaultPrinter.clear();
        state.documents.clear();
        state.nextJobId = 1;
        state.gdiFailureResult = SP_ERROR;
        state.writeLimits.clear();
        state.printDialogFlags = 0;
        commDlgError = 0;
        SetDefaultPrinterHook() = nullptr;
    });
    return true;
}();

std::string Quoted(LPCSTR text) {
    if (text == nullptr) {
        return "(null)";
    }
    std::string quoted(1, '"');
    quoted.append(text);
    quoted.push_back('"');
    return quoted;
}

// Printer names compare without regard to case, as the spooler compares them.
const InstalledPrinter* FindPrinter(const PrintState& state, const std::string& name) {
    for (const InstalledPrinter& printer : state.printers) {
        if (strcasecmp(printer.name.c_str(), name.c_str()) == 0) {
            return &printer;
        }
    }
    return nullptr;
}

std::shared_ptr<DeviceContext> FindDeviceContext(HDC dc) {
    return substitute::FindHandleAs<DeviceContext>(reinterpret_cast<HANDLE>(dc));
}

// The document a device context is drawing, or null when none is open; the state lock is
// held by the caller.
substitute::PrintedDocument* OpenDocument(PrintState& state, const DeviceContext& context) {
    if (context.document < 0 || static_cast<size_t>(context.document) >= state.documents.size()) {
        return nullptr;
    }
    substitute::PrintedDocument& document = state.documents[static_cast<size_t>(context.document)];
    return document.state == substitute::DocumentState::Open ? &document : nullptr;
}

// Common failure of the document and page calls: scripted, or a wrong device context.
bool ScriptedGdiFailure(const char* call, int* result) {
    DWORD error = 0;
    if (!substitute::TakeScriptedFailure(call, &error)) {
        return false;
    }
    substitute::LogCall(call, "failed");
    SetLastError(error);
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    *result = state.gdiFailureResult;
    return true;
}

int RefuseGdiCall(const char* call, DWORD error) {
    substitute::LogCall(call, "refused");
    SetLastError(error);
    return SP_ERROR;
}

} // namespace

BOOL GetDefaultPrinterA(LPSTR buffer, LPDWORD size) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("GetDefaultPrinterA", &error)) {
        substitute::LogCall("GetDefaultPrinterA", "failed");
        SetLastError(error);
        return FALSE;
    }
    if (size == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        name = state.defaultPrinter;
    }
    if (name.empty()) {
        substitute::LogCall("GetDefaultPrinterA", "none");
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // Sizes are in characters and count the terminating NUL, in and out.
    DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        substitute::LogCall("GetDefaultPrinterA", "short");
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, name.c_str(), needed);
    *size = needed;
    substitute::LogCall("GetDefaultPrinterA", Quoted(buffer));
    return TRUE;
}

BOOL SetDefaultPrinterA(LPCSTR name) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("SetDefaultPrinterA", &error)) {
        substitute::LogCall("SetDefaultPrinterA", Quoted(name) + " failed");
        SetLastError(error);
        return FALSE;
    }
    substitute::LogCall("SetDefaultPrinterA", Quoted(name));
    std::function<void(const std::string&)> hook = SetDefaultPrinterHook();
    if (hook) {
        hook(name == nullptr ? std::string() : std::string(name));
    }
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (name == nullptr || name[0] == '\0') {
        // No name keeps the default there is; without one, the first printer becomes it.
        if (!state.defaultPrinter.empty()) {
            return TRUE;
        }
        if (state.printers.empty()) {
            SetLastError(ERROR_INVALID_PRINTER_NAME);
            return FALSE;
        }
        state.defaultPrinter = state.printers.front().name;
        return TRUE;
    }
    const InstalledPrinter* printer = FindPrinter(state, name);
    if (printer == nullptr) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    state.defaultPrinter = printer->name;
    return TRUE;
}

BOOL EnumPrintersA(DWORD flags, LPSTR /*name*/, DWORD level, LPBYTE buffer, DWORD size,
                   LPDWORD needed, LPDWORD returned) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("EnumPrintersA", &error)) {
        substitute::LogCall("EnumPrintersA", "failed");
        SetLastError(error);
        return FALSE;
    }
    if (needed == nullptr || returned == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *returned = 0;
    if (level != 5) {
        substitute::LogCall("EnumPrintersA", "level " + std::to_string(level));
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    std::vector<InstalledPrinter> printers;
    std::string defaultPrinter;
    if ((flags & PRINTER_ENUM_LOCAL) != 0) {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        printers = state.printers;
        defaultPrinter = state.defaultPrinter;
    }
    size_t bytes = printers.size() * sizeof(PRINTER_INFO_5A);
    for (const InstalledPrinter& printer : printers) {
        bytes += printer.name.size() + 1 + printer.port.size() + 1;
    }
    *needed = static_cast<DWORD>(bytes);
    if (size < bytes || (buffer == nullptr && bytes > 0)) {
        substitute::LogCall("EnumPrintersA", "short " + std::to_string(bytes));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The records first, their strings packed behind them in the same block.
    char* strings = reinterpret_cast<char*>(buffer) + printers.size() * sizeof(PRINTER_INFO_5A);
    for (size_t i = 0; i < printers.size(); ++i) {
        PRINTER_INFO_5A record = {};
        record.pPrinterName = strings;
        std::memcpy(strings, printers[i].name.c_str(), printers[i].name.size() + 1);
        strings += printers[i].name.size() + 1;
        record.pPortName = strings;
        std::memcpy(strings, printers[i].port.c_str(), printers[i].port.size() + 1);
        strings += printers[i].port.size() + 1;
        record.Attributes = PRINTER_ATTRIBUTE_LOCAL |
                            (printers[i].name == defaultPrinter ? PRINTER_ATTRIBUTE_DEFAULT : 0u);
        record.DeviceNotSelectedTimeout = 15000;
        record.TransmissionRetryTimeout = 45000;
        std::memcpy(buffer + i * sizeof(PRINTER_INFO_5A), &record, sizeof(record));
    }
    *returned = static_cast<DWORD>(printers.size());
    substitute::LogCall("EnumPrintersA", std::to_string(printers.size()));
    return TRUE;
}

BOOL PrintDlgA(LPPRINTDLGA record) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("PrintDlgA", &error)) {
        substitute::LogCall("PrintDlgA", "failed");
        commDlgError = error;
        return FALSE;
    }
    if (record == nullptr) {
        commDlgError = CDERR_INITIALIZATION;
        return FALSE;
    }
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        state.printDialogFlags = record->Flags;
    }
    if (record->lStructSize != sizeof(PRINTDLGA)) {
        substitute::LogCall("PrintDlgA", "size " + std::to_string(record->lStructSize));
        commDlgError = CDERR_STRUCTSIZE;
        return FALSE;
    }
    if ((record->Flags & PD_RETURNDEFAULT) == 0) {
        // There is no user to answer a dialog: it counts as cancelled.
        substitute::LogCall("PrintDlgA", "cancelled");
        commDlgError = 0;
        return FALSE;
    }
    if (record->hDevMode != nullptr || record->hDevNames != nullptr) {
        substitute::LogCall("PrintDlgA", "device memory passed in");
        commDlgError = PDERR_RETDEFFAILURE;
        return FALSE;
    }
    std::string name;
    std::string port;
    bool installed = false;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        name = state.defaultPrinter;
        if (const InstalledPrinter* printer = FindPrinter(state, name)) {
            port = printer->port;
            installed = true;
        }
    }
    if (name.empty()) {
        substitute::LogCall("PrintDlgA", "no default printer");
        commDlgError = PDERR_NODEFAULTPRN;
        return FALSE;
    }
    if (!installed) {
        substitute::LogCall("PrintDlgA", "printer not found");
        commDlgError = PDERR_PRINTERNOTFOUND;
        return FALSE;
    }

    const std::string driver = "winspool";
    const size_t namesSize =
        kDevNamesHeader + driver.size() + 1 + name.size() + 1 + port.size() + 1;
    auto* devMode = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kDevModeSize));
    auto* devNames = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, namesSize));
    if (devMode == nullptr || devNames == nullptr) {
        GlobalFree(devMode);
        GlobalFree(devNames);
        substitute::LogCall("PrintDlgA", "out of memory");
        commDlgError = CDERR_MEMALLOCFAILURE;
        return FALSE;
    }
    std::memcpy(devMode, name.c_str(), std::min(name.size(), kDeviceNameSize - 1));
    WORD offsets[4] = {};
    size_t offset = kDevNamesHeader;
    for (int i = 0; i < 3; ++i) {
        const std::string& part = i == 0 ? driver : i == 1 ? name : port;
        offsets[i] = static_cast<WORD>(offset);
        std::memcpy(devNames + offset, part.c_str(), part.size() + 1);
        offset += part.size() + 1;
    }
    offsets[3] = 1; // DN_DEFAULTPRN
    std::memcpy(devNames, offsets, sizeof(offsets));

    record->hDevMode = devMode;
    record->hDevNames = devNames;
    record->hDC = nullptr;
    if ((record->Flags & PD_RETURNDC) != 0) {
        auto context = std::make_shared<DeviceContext>();
        context->label = "dc:" + name;
        context->printer = name;
        record->hDC = reinterpret_cast<HDC>(substitute::AddHandle(context));
    }
    commDlgError = 0;
    substitute::LogCall("PrintDlgA", Quoted(name.c_str()));
    return TRUE;
}

DWORD CommDlgExtendedError() {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("CommDlgExtendedError", &error)) {
        return error;
    }
    return commDlgError;
}

int StartDocA(HDC dc, const DOCINFOA* document) {
    int result = 0;
    if (ScriptedGdiFailure("StartDocA", &result)) {
        return result;
    }
    std::shared_ptr<DeviceContext> context = FindDeviceContext(dc);
    if (context == nullptr) {
        return RefuseGdiCall("StartDocA", ERROR_INVALID_HANDLE);
    }
    if (document == nullptr || document->cbSize != static_cast<int>(sizeof(DOCINFOA))) {
        return RefuseGdiCall("StartDocA", ERROR_INVALID_PARAMETER);
    }
    substitute::PrintedDocument printed;
    printed.name = document->lpszDocName != nullptr ? document->lpszDocName : "";
    printed.dataType = document->lpszDatatype != nullptr ? document->lpszDatatype : "";
    printed.toFile = document->lpszOutput != nullptr;
    printed.state = substitute::DocumentState::Open;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (OpenDocument(state, *context) != nullptr) {
            result = SP_ERROR;
        } else {
            printed.printer = context->printer;
            printed.jobId = state.nextJobId++;
            result = printed.jobId;
            context->document = static_cast<int>(state.documents.size());
            context->pageOpen = false;
            state.documents.push_back(printed);
        }
    }
    if (result == SP_ERROR) {
        return RefuseGdiCall("StartDocA", ERROR_INVALID_PARAMETER);
    }
    substitute::LogCall("StartDocA", Quoted(printed.name.c_str()) + " " + printed.dataType);
    return result;
}

int StartPage(HDC dc) {
    int result = 0;
    if (ScriptedGdiFailure("StartPage", &result)) {
        return result;
    }
    std::shared_ptr<DeviceContext> context = FindDeviceContext(dc);
    if (context == nullptr) {
        return RefuseGdiCall("StartPage", ERROR_INVALID_HANDLE);
    }
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        substitute::PrintedDocument* document = OpenDocument(state, *context);
        if (document != nullptr && !context->pageOpen) {
            document->pages.push_back({{}, false});
            context->pageOpen = true;
            result = 1;
        }
    }
    if (result != 1) {
        return RefuseGdiCall("StartPage", ERROR_INVALID_PARAMETER);
    }
    substitute::LogCall("StartPage");
    return 1;
}

BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int length) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("TextOutA", &error)) {
        substitute::LogCall("TextOutA", "failed");
        SetLastError(error);
        return FALSE;
    }
    std::shared_ptr<DeviceContext> context = FindDeviceContext(dc);
    if (context == nullptr) {
        RefuseGdiCall("TextOutA", ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (length < 0 || (text == nullptr && length > 0)) {
        RefuseGdiCall("TextOutA", ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool drawn = false;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        substitute::PrintedDocument* document = OpenDocument(state, *context);
        if (document != nullptr && context->pageOpen) {
            document->pages.back().texts.push_back(
                {x, y, length,
                 std::string(text == nullptr ? "" : text, static_cast<size_t>(length))});
            drawn = true;
        }
    }
    if (!drawn) {
        RefuseGdiCall("TextOutA", ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    substitute::LogCall("TextOutA",
                        std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(length));
    return TRUE;
}

int EndPage(HDC dc) {
    int result = 0;
    if (ScriptedGdiFailure("EndPage", &result)) {
        return result;
    }
    std::shared_ptr<DeviceContext> context = FindDeviceContext(dc);
    if (context == nullptr) {
        return RefuseGdiCall("EndPage", ERROR_INVALID_HANDLE);
    }
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        substitute::PrintedDocument* document = OpenDocument(state, *context);
        if (document != nullptr && context->pageOpen) {
            document->pages.back().ended = true;
            context->pageOpen = false;
            result = 1;
        }
    }
    if (result != 1) {
        return RefuseGdiCall("EndPage", ERROR_INVALID_PARAMETER);
    }
    substitute::LogCall("EndPage");
    return 1;
}

namespace {

// EndDoc and AbortDoc: close the open document of a device context in the given state.
int CloseDocument(const char* call, HDC dc, substitute::DocumentState closed) {
    int result = 0;
    if (ScriptedGdiFailure(call, &result)) {
        return result;
    }
    std::shared_ptr<DeviceContext> context = FindDeviceContext(dc);
    if (context == nullptr) {
        return RefuseGdiCall(call, ERROR_INVALID_HANDLE);
    }
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        substitute::PrintedDocument* document = OpenDocument(state, *context);
        if (document != nullptr) {
            document->state = closed;
            context->pageOpen = false;
            result = 1;
        }
    }
    if (result != 1) {
        return RefuseGdiCall(call, ERROR_INVALID_PARAMETER);
    }
    substitute::LogCall(call);
    return 1;
}

} // namespace

int EndDoc(HDC dc) {
    return CloseDocument("EndDoc", dc, substitute::DocumentState::Ended);
}

int AbortDoc(HDC dc) {
    return CloseDocument("AbortDoc", dc, substitute::DocumentState::Aborted);
}

BOOL DeleteDC(HDC dc) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("DeleteDC", &error)) {
        substitute::LogCall("DeleteDC", "failed");
        SetLastError(error);
        return FALSE;
    }
    std::shared_ptr<DeviceContext> context = FindDeviceContext(dc);
    if (context == nullptr) {
        substitute::LogCall("DeleteDC", "invalid");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    substitute::RemoveHandle(reinterpret_cast<HANDLE>(dc));
    {
        // A document still open when its device context goes is abandoned by the spooler.
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (substitute::PrintedDocument* document = OpenDocument(state, *context)) {
            document->state = substitute::DocumentState::Aborted;
        }
    }
    substitute::LogCall("DeleteDC", context->label);
    return TRUE;
}

namespace {

std::shared_ptr<PrinterHandle> FindPrinterHandle(HANDLE handle) {
    return substitute::FindHandleAs<PrinterHandle>(handle);
}

// The open document of a printer handle, or null; the state lock is held by the caller.
substitute::PrintedDocument* OpenQueueDocument(PrintState& state, const PrinterHandle& printer) {
    if (printer.document < 0 || static_cast<size_t>(printer.document) >= state.documents.size()) {
        return nullptr;
    }
    substitute::PrintedDocument& document = state.documents[static_cast<size_t>(printer.document)];
    return document.state == substitute::DocumentState::Open ? &document : nullptr;
}

BOOL FailSpoolerCall(const char* call, const std::string& detail, DWORD error) {
    substitute::LogCall(call, detail);
    SetLastError(error);
    return FALSE;
}

// A scripted failure of a spooler call on a printer handle; the call is logged as failed.
bool ScriptedSpoolerFailure(const char* call) {
    DWORD error = 0;
    if (!substitute::TakeScriptedFailure(call, &error)) {
        return false;
    }
    FailSpoolerCall(call, "failed", error);
    return true;
}

// EndDocPrinter and AbortPrinter: close the open document of a printer handle.
BOOL CloseQueueDocument(const char* call, HANDLE handle, substitute::DocumentState closed) {
    if (ScriptedSpoolerFailure(call)) {
        return FALSE;
    }
    std::shared_ptr<PrinterHandle> printer = FindPrinterHandle(handle);
    if (printer == nullptr) {
        return FailSpoolerCall(call, "invalid", ERROR_INVALID_HANDLE);
    }
    size_t bytes = 0;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        substitute::PrintedDocument* document = OpenQueueDocument(state, *printer);
        if (document == nullptr) {
            return FailSpoolerCall(call, "no document", ERROR_SPL_NO_STARTDOC);
        }
        document->state = closed;
        bytes = document->bytes.size();
    }
    substitute::LogCall(call, std::to_string(bytes));
    return TRUE;
}

} // namespace

BOOL OpenPrinterA(LPSTR name, LPHANDLE handle, PRINTER_DEFAULTSA* /*defaults*/) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("OpenPrinterA", &error)) {
        return FailSpoolerCall("OpenPrinterA", Quoted(name) + " failed", error);
    }
    if (handle == nullptr) {
        return FailSpoolerCall("OpenPrinterA", "no handle", ERROR_INVALID_PARAMETER);
    }
    *handle = nullptr;
    std::string found;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        const InstalledPrinter* printer = name != nullptr ? FindPrinter(state, name) : nullptr;
        if (printer != nullptr) {
            found = printer->name;
        }
    }
    if (found.empty()) {
        return FailSpoolerCall("OpenPrinterA", Quoted(name) + " unknown",
                               ERROR_INVALID_PRINTER_NAME);
    }
    auto printer = std::make_shared<PrinterHandle>();
    printer->label = "printer:" + found;
    printer->printer = found;
    *handle = substitute::AddHandle(printer);
    substitute::LogCall("OpenPrinterA", Quoted(found.c_str()));
    return TRUE;
}

// Level 5 only: the printer's name and its ports, packed behind the record as the spooler does.
BOOL GetPrinterA(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    if (ScriptedSpoolerFailure("GetPrinterA")) {
        return FALSE;
    }
    std::shared_ptr<PrinterHandle> printer = FindPrinterHandle(handle);
    if (printer == nullptr || needed == nullptr) {
        return FailSpoolerCall("GetPrinterA", "invalid", ERROR_INVALID_HANDLE);
    }
    if (level != 5) {
        return FailSpoolerCall("GetPrinterA", "level " + std::to_string(level),
                               ERROR_INVALID_LEVEL);
    }
    std::string port;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        const InstalledPrinter* installed = FindPrinter(state, printer->printer);
        if (installed == nullptr) {
            return FailSpoolerCall("GetPrinterA", printer->label + " gone",
                                   ERROR_INVALID_PRINTER_NAME);
        }
        port = installed->port;
    }
    const std::string& name = printer->printer;
    size_t bytes = sizeof(PRINTER_INFO_5A) + name.size() + 1 + port.size() + 1;
    *needed = static_cast<DWORD>(bytes);
    if (buffer == nullptr || size < bytes) {
        return FailSpoolerCall("GetPrinterA", printer->label + " short " + std::to_string(bytes),
                               ERROR_INSUFFICIENT_BUFFER);
    }
    char* strings = reinterpret_cast<char*>(buffer) + sizeof(PRINTER_INFO_5A);
    PRINTER_INFO_5A record = {};
    record.pPrinterName = strings;
    std::memcpy(strings, name.c_str(), name.size() + 1);
    record.pPortName = strings + name.size() + 1;
    std::memcpy(record.pPortName, port.c_str(), port.size() + 1);
    record.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    std::memcpy(buffer, &record, sizeof(record));
    substitute::LogCall("GetPrinterA", printer->label + " " + Quoted(port.c_str()));
    return TRUE;
}

DWORD StartDocPrinterA(HANDLE handle, DWORD level, LPBYTE documentInfo) {
    if (ScriptedSpoolerFailure("StartDocPrinterA")) {
        return 0;
    }
    std::shared_ptr<PrinterHandle> printer = FindPrinterHandle(handle);
    if (printer == nullptr) {
        FailSpoolerCall("StartDocPrinterA", "invalid", ERROR_INVALID_HANDLE);
        return 0;
    }
    if (level != 1) {
        FailSpoolerCall("StartDocPrinterA", "level " + std::to_string(level), ERROR_INVALID_LEVEL);
        return 0;
    }
    if (documentInfo == nullptr) {
        FailSpoolerCall("StartDocPrinterA", "no document", ERROR_INVALID_PARAMETER);
        return 0;
    }
    DOC_INFO_1A info;
    std::memcpy(&info, documentInfo, sizeof info);
    substitute::PrintedDocument printed;
    printed.printer = printer->printer;
    printed.name = info.pDocName != nullptr ? info.pDocName : "";
    printed.dataType = info.pDatatype != nullptr ? info.pDatatype : "";
    printed.toFile = info.pOutputFile != nullptr;
    printed.state = substitute::DocumentState::Open;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (OpenQueueDocument(state, *printer) == nullptr) {
            printed.jobId = state.nextJobId++;
            printer->document = static_cast<int>(state.documents.size());
            state.documents.push_back(printed);
        } else {
            printed.jobId = 0;
        }
    }
    if (printed.jobId == 0) {
        FailSpoolerCall("StartDocPrinterA", "already started", ERROR_INVALID_PARAMETER);
        return 0;
    }
    substitute::LogCall("StartDocPrinterA", Quoted(printed.name.c_str()) + " " + printed.dataType);
    return static_cast<DWORD>(printed.jobId);
}

BOOL WritePrinter(HANDLE handle, LPVOID bytes, DWORD count, LPDWORD written) {
    if (written != nullptr) {
        *written = 0;
    }
    if (ScriptedSpoolerFailure("WritePrinter")) {
        return FALSE;
    }
    std::shared_ptr<PrinterHandle> printer = FindPrinterHandle(handle);
    if (printer == nullptr) {
        return FailSpoolerCall("WritePrinter", "invalid", ERROR_INVALID_HANDLE);
    }
    if (written == nullptr || (bytes == nullptr && count > 0)) {
        return FailSpoolerCall("WritePrinter", "bad arguments", ERROR_INVALID_PARAMETER);
    }
    DWORD taken = count;
    {
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        substitute::PrintedDocument* document = OpenQueueDocument(state, *printer);
        if (document == nullptr) {
            return FailSpoolerCall("WritePrinter", "no document", ERROR_SPL_NO_STARTDOC);
        }
        if (!state.writeLimits.empty()) {
            taken = std::min(taken, state.writeLimits.front());
            state.writeLimits.pop_front();
        }
        document->bytes.append(static_cast<const char*>(bytes), taken);
    }
    *written = taken;
    substitute::LogCall("WritePrinter", std::to_string(taken) + "/" + std::to_string(count));
    return TRUE;
}

BOOL EndDocPrinter(HANDLE handle) {
    return CloseQueueDocument("EndDocPrinter", handle, substitute::DocumentState::Ended);
}

BOOL AbortPrinter(HANDLE handle) {
    return CloseQueueDocument("AbortPrinter", handle, substitute::DocumentState::Aborted);
}

BOOL ClosePrinter(HANDLE handle) {
    // A scripted failure keeps the handle open, as for a handle the caller does not hold.
    if (ScriptedSpoolerFailure("ClosePrinter")) {
        return FALSE;
    }
    std::shared_ptr<PrinterHandle> printer = FindPrinterHandle(handle);
    if (printer == nullptr) {
        return FailSpoolerCall("ClosePrinter", "invalid", ERROR_INVALID_HANDLE);
    }
    substitute::RemoveHandle(handle);
    {
        // A document still open when its printer is closed is abandoned.
        PrintState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (substitute::PrintedDocument* document = OpenQueueDocument(state, *printer)) {
            document->state = substitute::DocumentState::Aborted;
        }
    }
    substitute::LogCall("ClosePrinter", printer->label);
    return TRUE;
}

namespace substitute {

void OnSetDefaultPrinter(std::function<void(const std::string& name)> callback) {
    SetDefaultPrinterHook() = std::move(callback);
}

void InstallPrinter(const std::string& name, const std::string& port) {
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.printers.push_back({name, port});
}

std::vector<std::string> InstalledPrinters() {
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    std::vector<std::string> names;
    for (const InstalledPrinter& printer : state.printers) {
        names.push_back(printer.name);
    }
    return names;
}

void SetDefaultPrinterName(const std::string& name) {
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.defaultPrinter = name;
}

std::string DefaultPrinter() {
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.defaultPrinter;
}

void SetGdiFailureResult(int result) {
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.gdiFailureResult = result;
}

void LimitPrinterWrites(const std::vector<DWORD>& counts) {
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.writeLimits.assign(counts.begin(), counts.end());
}

DWORD LastPrintDialogFlags() {
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.printDialogFlags;
}

std::vector<PrintedDocument> PrintedDocuments() {
    PrintState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.documents;
}

} // namespace substitute
