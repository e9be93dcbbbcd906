// Printer targets named on the command line in the form of device URIs.
#pragma once

#include "core/job_request.h"

#include <cstddef>

// Parses text ("socket://HOST[:PORT]", "serial:COM3[?baud=9600&bits=8&parity=none&stop=1]",
// "parallel:LPT1", "driver:NAME", "raw:NAME") into target, which it clears first. False
// when the text cannot be understood; problem (problemSize bytes) then says what is wrong.
bool ParsePrinterTarget(const char* text, PrinterTarget* target, char* problem,
                        std::size_t problemSize);

// Writes target back as a device URI, with every default filled in, into text (size bytes).
void FormatPrinterTarget(const PrinterTarget* target, char* text, std::size_t size);
