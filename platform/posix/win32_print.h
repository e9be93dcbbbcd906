// Win32 declarations, print: the spooler, the print dialog and GDI.
#pragma once

#include "platform/posix/win32_types.h"

#define PD_RETURNDC 0x00000100u
#define PD_RETURNDEFAULT 0x00000400u
#define PD_NOWARNING 0x00000080u
#define PRINTER_ENUM_LOCAL 0x00000002u
#define PRINTER_ATTRIBUTE_DEFAULT 0x00000004u
#define PRINTER_ATTRIBUTE_LOCAL 0x00000040u
#define CDERR_GENERALCODES 0x0000
#define CDERR_STRUCTSIZE 0x0001
#define CDERR_INITIALIZATION 0x0002
#define CDERR_MEMALLOCFAILURE 0x0009
#define PDERR_NODEFAULTPRN 0x1008
#define PDERR_RETDEFFAILURE 0x1009
#define PDERR_PRINTERNOTFOUND 0x100B
#define SP_ERROR (-1)
#ifndef ERROR_INVALID_LEVEL
#define ERROR_INVALID_LEVEL 124L
#endif
#define ERROR_PRINT_CANCELLED 63L
#define ERROR_SPL_NO_STARTDOC 3003L

struct PRINTDLGA {
    DWORD lStructSize;
    HWND hwndOwner;
    HGLOBAL hDevMode;
    HGLOBAL hDevNames;
    HDC hDC;
    DWORD Flags;
    WORD nFromPage;
    WORD nToPage;
    WORD nMinPage;
    WORD nMaxPage;
    WORD nCopies;
    HINSTANCE hInstance;
    LPARAM lCustData;
    void* lpfnPrintHook;
    void* lpfnSetupHook;
    LPCSTR lpPrintTemplateName;
    LPCSTR lpSetupTemplateName;
    HGLOBAL hPrintTemplate;
    HGLOBAL hSetupTemplate;
};
using LPPRINTDLGA = PRINTDLGA*;

struct DOCINFOA {
    int cbSize;
    LPCSTR lpszDocName;
    LPCSTR lpszOutput;
    LPCSTR lpszDatatype;
    DWORD fwType;
};

struct PRINTER_INFO_5A {
    LPSTR pPrinterName;
    LPSTR pPortName;
    DWORD Attributes;
    DWORD DeviceNotSelectedTimeout;
    DWORD TransmissionRetryTimeout;
};

// A document of a raw printer queue: the spooler hands its bytes to the port as they are.
struct DOC_INFO_1A {
    LPSTR pDocName;
    LPSTR pOutputFile;
    LPSTR pDatatype;
};
struct PRINTER_DEFAULTSA;

BOOL PrintDlgA(LPPRINTDLGA record);
DWORD CommDlgExtendedError();
int StartDocA(HDC dc, const DOCINFOA* document);
int StartPage(HDC dc);
int EndPage(HDC dc);
int EndDoc(HDC dc);
int AbortDoc(HDC dc);
BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int length);
BOOL DeleteDC(HDC dc);
BOOL GetDefaultPrinterA(LPSTR buffer, LPDWORD size);
BOOL SetDefaultPrinterA(LPCSTR name);
BOOL EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned);
BOOL OpenPrinterA(LPSTR name, LPHANDLE printer, PRINTER_DEFAULTSA* defaults);
BOOL GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed);
DWORD StartDocPrinterA(HANDLE printer, DWORD level, LPBYTE documentInfo);
BOOL WritePrinter(HANDLE printer, LPVOID bytes, DWORD count, LPDWORD written);
BOOL EndDocPrinter(HANDLE printer);
BOOL AbortPrinter(HANDLE printer);
BOOL ClosePrinter(HANDLE printer);
