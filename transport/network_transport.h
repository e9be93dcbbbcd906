// Sends a job to a network label printer over one raw TCP connection.
#pragma once

#include "transport/job_worker.h"

JobResult NetworkTransport(TransportJob* job);
