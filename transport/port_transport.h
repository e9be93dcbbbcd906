// Sends a job to a label printer on a serial (COM) or parallel (LPT) port.
#pragma once

#include "transport/job_worker.h"

enum class PortMode { Serial, Parallel };

JobResult PortTransport(TransportJob* job, PortMode mode);
