// Where a job goes: the printer named on the command line in place of the stored settings,
// and the device URI that names the job's printer in its outcome.
#pragma once

#include "core/job_request.h"

#include <cstddef>

// The printer named on the command line, or nullptr when the job follows the stored settings.
const PrinterTarget* CommandLineTarget();

// Writes target as a device URI into text (size bytes), as FormatPrinterTarget does; a serial
// printer whose line settings are not known yet (baudRate 0) is "serial:NAME" alone.
void FormatTargetUri(const PrinterTarget* target, char* text, std::size_t size);

// The job's way and printer, in g_jobOutcome, as soon as they are known.
void RecordJobTransport(JobTransport transport);
void RecordJobTarget(const PrinterTarget* target);
