// Sends a job to a network label printer over one raw TCP connection.
#pragma once

#include "core/transport_job.h"

JobResult NetworkTransport(TransportJob* job);
