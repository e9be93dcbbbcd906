// Placeholder until the driver transport lands.
#include "transport/driver_transport.h"

JobResult DriverTransport(TransportJob* job) {
    ReportDone(job->progressWindow, ERROR_NOT_SUPPORTED, JobResult::PortOpenError);
    return JobResult::PortOpenError;
}
