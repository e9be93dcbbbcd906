// The stored printer settings: the per-user registry key with its eight text values, and
// the port file "tcpport.dat" of recorded port texts in the current directory.
#pragma once

#include "core/job_protocol.h"
#include "core/job_request.h"

#include <cstdio>

// Names of the values under the settings key.
inline constexpr char kPrinterTypeValue[] = "PrinterType";
inline constexpr char kPortValue[] = "Port";
inline constexpr char kBaudOrAddressValue[] = "BaudorIPAddress";
inline constexpr char kDataBitsValue[] = "DataBits";
inline constexpr char kParityValue[] = "Parity";
inline constexpr char kStopBitsValue[] = "StopBits";
inline constexpr char kDelayValue[] = "Delay";
inline constexpr char kAttemptsValue[] = "Attempts";
// Optional: "1" asks the printer for its status before a job's label is sent.
inline constexpr char kCheckStatusValue[] = "CheckStatus";
// Optional: whole seconds a network printer has to connect and to take each chunk.
inline constexpr char kTimeoutValue[] = "Timeout";
// Optional: "received" or "printed" (any case) asks the printer, after the label, whether it
// has read it or printed it; absent or any other text is off.
inline constexpr char kConfirmValue[] = "Confirm";

inline constexpr char kPortFileName[] = "tcpport.dat";

// The raw TCP port of label printers: offered first in the settings window and never
// recorded in the port file.
inline constexpr char kDefaultNetworkPort[] = "9100";

// The PrinterType of a raw Windows printer queue, whose Port is the printer's name.
inline constexpr char kRawQueuePrinterType[] = "Printer (RAW)";

// Opens the user's settings key (path from string 114) read-only, as a job does among the
// other keys (settings/setting_places.h). False when it cannot be opened; *key is then
// untouched and the thread's last error says why.
bool OpenSettingsKeyForReading(HKEY* key);

// Opens the settings key with full access, as the settings window does; with
// createWhenMissing the key is created when it cannot be opened.
bool OpenSettingsKeyForEditing(HKEY* key, bool createWhenMissing);

// Reads a value into `value` (kTextBufferSize bytes) as NUL-terminated text. False when
// the value is absent, does not fit, or cannot be read; `value` then holds "" and the
// thread's last error says why (ERROR_FILE_NOT_FOUND: absent; ERROR_MORE_DATA: too long).
bool ReadSettingValue(HKEY key, const char* name, char* value);

// Stores `text` as REG_SZ with its terminating NUL. Failures are not reported.
void WriteSettingValue(HKEY key, const char* name, const char* text);

// Decimal text to number: leading white space, an optional sign, digits up to the first
// other character; 0 without digits; saturated at the limits of a signed 32-bit integer.
int SettingNumber(const char* text);

// Reading the port file one entry at a time: entries are runs of characters other than
// white space. A file that cannot be opened reads as empty.
struct PortFileReader {
    FILE* stream;
};
void OpenPortFile(PortFileReader* reader);
// Copies the next entry into `entry` (kTextBufferSize bytes); false when there is none.
// Entries longer than kTextBufferSize - 1 characters are skipped whole.
bool NextPortEntry(PortFileReader* reader, char* entry);
void ClosePortFile(PortFileReader* reader);

// Appends `portText` and a line end to the port file unless a scan of its entries meets
// the same text or "9100" first.
void RecordPortInFile(const char* portText);
