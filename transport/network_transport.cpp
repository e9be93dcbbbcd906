// Placeholder until the network transport lands.
#include "transport/network_transport.h"

JobResult NetworkTransport(TransportJob* job) {
    ReportDone(job->progressWindow, ERROR_NOT_SUPPORTED, JobResult::PortOpenError);
    return JobResult::PortOpenError;
}
