// Sends a job through a Windows printer queue as driver passthrough text.
#pragma once

#include "transport/job_worker.h"

JobResult DriverTransport(TransportJob* job);
