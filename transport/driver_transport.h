// Sends a job through a Windows printer queue as driver passthrough text.
#pragma once

#include "transport/job_worker.h"

JobResult DriverTransport(TransportJob* job);

// Gives the user's default printer back if a driver job of this process has it swapped out
// now, so that cutting the job off cannot leave the label printer as the default. The job
// then does not give it back a second time.
void GiveBackDefaultPrinter();
