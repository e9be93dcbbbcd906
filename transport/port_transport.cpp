// Placeholder until the port transport lands.
#include "transport/port_transport.h"

JobResult PortTransport(TransportJob* job, PortMode /*mode*/) {
    ReportDone(job->progressWindow, ERROR_NOT_SUPPORTED, JobResult::PortOpenError);
    return JobResult::PortOpenError;
}
