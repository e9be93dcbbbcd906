// The printer named on the command line, and the device URI of the printer a job went to.
#include "transport/job_target.h"

#include "core/printer_target.h"

#include <cstdio>

namespace {

JobTransport TransportOfKind(TargetKind kind) {
    switch (kind) {
    case TargetKind::Socket:
        return JobTransport::Network;
    case TargetKind::Serial:
        return JobTransport::SerialPort;
    case TargetKind::Parallel:
        return JobTransport::ParallelPort;
    case TargetKind::Driver:
        return JobTransport::Driver;
    case TargetKind::RawQueue:
        return JobTransport::RawQueue;
    case TargetKind::Stored:
    case TargetKind::Named:
        break;
    }
    return JobTransport::None;
}

} // namespace

const PrinterTarget* CommandLineTarget() {
    return g_jobOptions.target.kind == TargetKind::Stored ? nullptr : &g_jobOptions.target;
}

void FormatTargetUri(const PrinterTarget* target, char* text, std::size_t size) {
    // A stored serial printer is named before its line settings are read: a failure to open
    // its port must not show settings it never had.
    if (target->kind == TargetKind::Serial && target->baudRate == 0 && size > 0) {
        std::snprintf(text, size, "serial:%s", target->name);
        return;
    }
    FormatPrinterTarget(target, text, size);
}

void RecordJobTransport(JobTransport transport) {
    g_jobOutcome.transport = transport;
}

void RecordJobTarget(const PrinterTarget* target) {
    g_jobOutcome.transport = TransportOfKind(target->kind);
    FormatTargetUri(target, g_jobOutcome.target, sizeof g_jobOutcome.target);
}
