// The printer named on the command line, and the device URI of the printer a job went to.
#include "transport/job_target.h"

#include <cstdio>
#include <cstring>

namespace {

const char* ParityName(BYTE parity) {
    switch (parity) {
    case ODDPARITY:
        return "odd";
    case EVENPARITY:
        return "even";
    case MARKPARITY:
        return "mark";
    case SPACEPARITY:
        return "space";
    default:
        return "none";
    }
}

const char* StopBitsName(BYTE stopBits) {
    switch (stopBits) {
    case ONE5STOPBITS:
        return "1.5";
    case TWOSTOPBITS:
        return "2";
    default:
        return "1";
    }
}

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
        break;
    }
    return JobTransport::None;
}

} // namespace

const PrinterTarget* CommandLineTarget() {
    return g_jobOptions.target.kind == TargetKind::Stored ? nullptr : &g_jobOptions.target;
}

void FormatTargetUri(const PrinterTarget* target, char* text, std::size_t size) {
    if (size == 0) {
        return;
    }
    text[0] = '\0';
    switch (target->kind) {
    case TargetKind::Socket: {
        // An IPv6 literal is bracketed, so that its colons are not taken for the port's.
        bool bracketed = std::strchr(target->host, ':') != nullptr;
        std::snprintf(text, size, "socket://%s%s%s:%u", bracketed ? "[" : "", target->host,
                      bracketed ? "]" : "", static_cast<unsigned>(target->port));
        break;
    }
    case TargetKind::Serial:
        if (target->baudRate == 0) {
            std::snprintf(text, size, "serial:%s", target->name);
        } else {
            std::snprintf(text, size, "serial:%s?baud=%lu&bits=%u&parity=%s&stop=%s", target->name,
                          static_cast<unsigned long>(target->baudRate),
                          static_cast<unsigned>(target->dataBits), ParityName(target->parity),
                          StopBitsName(target->stopBits));
        }
        break;
    case TargetKind::Parallel:
        std::snprintf(text, size, "parallel:%s", target->name);
        break;
    case TargetKind::Driver:
        std::snprintf(text, size, "driver:%s", target->name);
        break;
    case TargetKind::RawQueue:
        std::snprintf(text, size, "raw:%s", target->name);
        break;
    case TargetKind::Stored:
        break;
    }
}

void RecordJobTransport(JobTransport transport) {
    g_jobOutcome.transport = transport;
}

void RecordJobTarget(const PrinterTarget* target) {
    g_jobOutcome.transport = TransportOfKind(target->kind);
    FormatTargetUri(target, g_jobOutcome.target, sizeof g_jobOutcome.target);
}
