// Where a job goes: the printer named on the command line in place of the stored settings,
// and the device URI that names the job's printer in its outcome.
#pragma once

#include "core/job_request.h"

#include <cstddef>

// The printer named on the command line, or nullptr when the job follows the stored settings.
const PrinterTarget* CommandLineTarget();

// Writes target as a device URI into text (size bytes, cut to fit): "socket://HOST:PORT"
// (an IPv6 literal in brackets), "serial:COM1?baud=9600&bits=8&parity=none&stop=1" (the
// query left out while the line settings are not known, baudRate 0), "parallel:LPT1",
// "driver:NAME", "raw:NAME"; "" for the stored settings.
void FormatTargetUri(const PrinterTarget* target, char* text, std::size_t size);

// The job's way and printer, in g_jobOutcome, as soon as they are known.
void RecordJobTransport(JobTransport transport);
void RecordJobTarget(const PrinterTarget* target);
