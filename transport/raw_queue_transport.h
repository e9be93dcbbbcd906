// Sends a job's bytes unchanged to a Windows printer queue as one raw document.
#pragma once

#include "transport/job_worker.h"

JobResult RawQueueTransport(TransportJob* job);
