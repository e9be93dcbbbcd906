// Printer targets named on the command line in the form of device URIs.
#pragma once

#include "core/job_request.h"

#include <cstddef>

// Parses text ("socket://HOST[:PORT]", "serial:COM3[?baud=9600&bits=8&parity=none&stop=1]",
// "parallel:LPT1", "driver:NAME", "raw:NAME") into target, which it clears first. A port is
// COM1..COM256 or LPT1..LPT9, kept in upper case; names and hosts are percent-decoded, so
// that an IPv6 zone is "[fe80::12%2512]". False when the text cannot be understood, or asks
// for line settings Windows refuses; problem (problemSize bytes) then says what is wrong.
bool ParsePrinterTarget(const char* text, PrinterTarget* target, char* problem,
                        std::size_t problemSize);

// True when a printer target is a name of the stored named printers rather than a device
// URI: text that is not empty and has no ':' (so no scheme). A name holding ':' cannot be
// given this way; "socket" and "Small labels" are names.
bool IsPrinterName(const char* text);

// Writes target back as a device URI, with every default filled in and a % sign or control
// character of a name or host percent-encoded, into text (size bytes; kTargetUriSize holds
// any target).
void FormatPrinterTarget(const PrinterTarget* target, char* text, std::size_t size);
