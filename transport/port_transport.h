// Sends a job to a label printer on a serial (COM) or parallel (LPT) port.
#pragma once

#include "core/transport_job.h"

enum class PortMode { Serial, Parallel };

JobResult PortTransport(TransportJob* job, PortMode mode);

// Appends the line settings a serial port refused to the diagnostic log
// "C:\tagwrightLog.txt"; a log that cannot be opened is passed over.
void CommDiagnosticLog(const DCB* dcb);
