// Asks a network or serial printer whether it is ready again, with the job's own status
// queries.
#include "watch/printer_ready.h"

#include "core/printer_target.h"
#include "transport/printer_status.h"

#include <cstdio>

namespace {

constexpr WORD kWinsockVersion = 0x0101;

bool ReportSaysReady(const PrinterReport& report) {
    return report.host.kind == HostStatusKind::Ready && PrinterRefusal(report) == 0;
}

// Connects within kReadyConnectWait, then asks on a blocking socket.
bool AskOverSocket(SOCKET s, const addrinfo* address) {
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        return false;
    }
    if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return false;
        }
        fd_set writable;
        writable.fd_count = 1;
        writable.fd_array[0] = s;
        timeval wait{static_cast<long>(kReadyConnectWait / 1000), 0};
        if (select(0, nullptr, &writable, nullptr, &wait) != 1) {
            return false;
        }
        int status = 0;
        int length = sizeof status;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length) ==
                SOCKET_ERROR ||
            status != 0) {
            return false;
        }
    }
    u_long blocking = 0;
    if (ioctlsocket(s, FIONBIO, &blocking) == SOCKET_ERROR) {
        return false;
    }
    PrinterReport report{};
    int sendError = 0;
    return QuerySocketPrinterStatus(s, &report, &sendError) && ReportSaysReady(report);
}

bool AskNetworkPrinter(const PrinterTarget& target) {
    WSADATA winsockData;
    if (WSAStartup(kWinsockVersion, &winsockData) != 0) {
        return false;
    }
    char service[8];
    snprintf(service, sizeof service, "%u", static_cast<unsigned>(target.port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addresses = nullptr;
    bool ready = false;
    if (getaddrinfo(target.host, service, &hints, &addresses) == 0) {
        for (const addrinfo* address = addresses; address != nullptr && !ready;
             address = address->ai_next) {
            SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
            if (s != INVALID_SOCKET) {
                ready = AskOverSocket(s, address);
                closesocket(s);
            }
        }
        freeaddrinfo(addresses);
    }
    WSACleanup();
    return ready;
}

bool AskSerialPrinter(const PrinterTarget& target) {
    HANDLE port = CreateFileA(target.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    PrinterReport report{};
    bool ready = QueryPortPrinterStatus(port, &report) && ReportSaysReady(report);
    CloseHandle(port);
    return ready;
}

} // namespace

bool PrinterReportsReady(const char* targetUri) {
    PrinterTarget target{};
    char problem[kTextBufferSize];
    if (targetUri == nullptr || !ParsePrinterTarget(targetUri, &target, problem, sizeof problem)) {
        return true;
    }
    switch (target.kind) {
    case TargetKind::Socket:
        return AskNetworkPrinter(target);
    case TargetKind::Serial:
        return AskSerialPrinter(target);
    case TargetKind::Stored:
    case TargetKind::Parallel:
    case TargetKind::Driver:
    case TargetKind::RawQueue:
        break;
    }
    return true;
}
