// Whether the printer that holds a label is ready again: the watcher sends nothing more to a
// printer that holds a label until it says so.
#pragma once

#include "core/job_protocol.h"

// How long the printer has to take the connection for the question, in milliseconds.
constexpr DWORD kReadyConnectWait = 2000;

// Asks the printer named by targetUri (a device URI, as a job's outcome names it) for its
// status: true when it answers ready, with no fault. A printer that cannot be reached, or
// does not answer, is not ready; one that cannot be asked at all (not a network or serial
// printer) reads as ready, since nothing would ever say otherwise.
bool PrinterReportsReady(const char* targetUri);
