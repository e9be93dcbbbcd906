// Sends a job through a Windows printer queue as driver passthrough text.
#pragma once

#include "core/transport_job.h"

JobResult DriverTransport(TransportJob* job);

// The text of the box shown when the print dialog library fails; the job then ends with
// JobResult::FailureAlreadyShown, and the launcher records this text as its message.
extern const char kPrintDialogFailed[];

// Called when the user cuts the job off and the process is about to end: waits for a swap
// or give-back of the user's default printer that is under way, gives the default back if
// a driver job of this process has it swapped out, and lets no swap start after it. The
// job then does not give it back a second time.
void GiveBackDefaultPrinter();

// Lets the next driver job swap the default printer again; called as each job starts.
void AllowDefaultPrinterSwap();
