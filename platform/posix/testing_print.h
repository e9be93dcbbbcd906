// Test hooks of the substitute print calls: installed printers, the default printer, and the
// documents, pages and texts recorded by the fake spooler and GDI.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

namespace substitute {

// Adds a local printer; the default printer is not changed.
void InstallPrinter(const std::string& name, const std::string& port = "USB001");
// Names of the installed printers, in the order they were installed.
std::vector<std::string> InstalledPrinters();

// Sets the default printer without a call being logged; "" means no default printer.
void SetDefaultPrinterName(const std::string& name);
// The current default printer; "" when there is none.
std::string DefaultPrinter();

// Runs on the calling thread inside each SetDefaultPrinterA, before the default changes
// (nullptr removes it; Reset too). Set it while no other thread is using the spooler.
void OnSetDefaultPrinter(std::function<void(const std::string& name)> callback);

// What a scripted failure of StartDocA, StartPage, EndPage, EndDoc or AbortDoc returns:
// SP_ERROR (-1) unless set otherwise (0 is the other failing value a caller must meet).
void SetGdiFailureResult(int result);

struct DrawnText {
    int x;
    int y;
    int count;        // the count passed to TextOutA
    std::string text; // the count bytes drawn
};

struct PrintedPage {
    std::vector<DrawnText> texts;
    bool ended; // EndPage was called
};

enum class DocumentState {
    Open,    // started, neither ended nor aborted
    Ended,   // EndDoc or EndDocPrinter: handed to the printer
    Aborted, // AbortDoc or AbortPrinter, or its device context or printer handle was closed
             // while it was open
};

struct PrintedDocument {
    std::string printer;
    std::string name;     // lpszDocName
    std::string dataType; // lpszDatatype ("" when none was given)
    bool toFile;          // lpszOutput was given
    int jobId;
    std::vector<PrintedPage> pages;
    DocumentState state;
    std::string bytes; // what WritePrinter took, for a document started with StartDocPrinterA
};

// The next WritePrinter calls take at most these counts, one each, in order (0: the call
// succeeds and takes nothing); once they are used up, every write takes all it is given.
void LimitPrinterWrites(const std::vector<DWORD>& counts);

// The Flags of the last PrintDlgA call (0 since Reset, or when none was made).
DWORD LastPrintDialogFlags();

// Every document started since the last Reset, in order.
std::vector<PrintedDocument> PrintedDocuments();

} // namespace substitute
