// Sends a job's bytes unchanged to a Windows printer queue as one raw document.
#pragma once

#include "core/transport_job.h"

JobResult RawQueueTransport(TransportJob* job);
