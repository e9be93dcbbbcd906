// The network transport: the input file sent as a raw TCP stream to the label printer's
// stored IPv4 address and port, or to the host named on the command line (a name, an IPv4
// or an IPv6 address), one network job at a time across all instances ("ipMutex").
#include "transport/network_transport.h"

#include "core/file_names.h"
#include "resources/resource_ids.h"
#include "settings/setting_places.h"
#include "settings/settings_store.h"
#include "transport/job_target.h"
#include "transport/job_turn.h"
#include "transport/print_confirmation.h"
#include "transport/printer_status.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kNetworkMutexName[] = "ipMutex";
constexpr WORD kWinsockVersion = 0x0101;
constexpr int kSocketRetryPause = 500; // milliseconds
// The longest wait a Timeout may ask for (some 24 days), so that its milliseconds stay a
// signed 32-bit count.
constexpr int kLongestTimeout = 2147483; // seconds
// Status id without a string: empties the status line.
constexpr UINT kEmptyStatus = 0;

// What the job holds beyond the hand-over record; each exit releases what is set here.
struct NetworkHold {
    HANDLE mutex;
    bool mutexOwned;
    bool registered;
    SOCKET socket;
    char* chunkBuffer;
    // How a delivered job ends: done, or sent but held or unconfirmed by the printer.
    JobFailure delivered;
};

// The channel of the copy loop: the connected socket, the pause after each chunk and the
// time the printer has to take each chunk (0: as long as it likes, on a blocking socket;
// otherwise the socket does not block and each wait is a select).
struct NetworkChannel {
    SOCKET socket;
    int delay;
    DWORD timeout; // milliseconds
    int sendError;
};

DWORD TimeoutMilliseconds(int seconds) {
    if (seconds <= 0) {
        return 0;
    }
    return static_cast<DWORD>(seconds < kLongestTimeout ? seconds : kLongestTimeout) * 1000u;
}

// Waits until the socket can take data, or a connect in progress has ended, for at most
// `milliseconds`. Returns 0 when it can, else the socket error (WSAETIMEDOUT when the wait
// ran out; the pending error of a connect that failed).
int AwaitWritable(SOCKET s, DWORD milliseconds) {
    fd_set writable;
    writable.fd_count = 1;
    writable.fd_array[0] = s;
    fd_set failed;
    failed.fd_count = 1;
    failed.fd_array[0] = s;
    timeval wait;
    wait.tv_sec = static_cast<long>(milliseconds / 1000u);
    wait.tv_usec = static_cast<long>((milliseconds % 1000u) * 1000u);
    int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    if (ready == 0) {
        return WSAETIMEDOUT;
    }
    int status = 0;
    int length = sizeof status;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length) ==
        SOCKET_ERROR) {
        return WSAGetLastError();
    }
    return status;
}

// Milliseconds left of `limit` since `started`, 0 when none are left.
DWORD Remaining(DWORD started, DWORD limit) {
    DWORD spent = GetTickCount() - started;
    return spent < limit ? limit - spent : 0;
}

// A short send must not lose the rest of the chunk: what was not accepted is sent again
// until all of it is, then one pause per chunk, whatever came of the sends. With a time-out
// the whole chunk must be taken within it.
bool SendChunk(void* channel, const char* chunk, DWORD count) {
    auto* network = static_cast<NetworkChannel*>(channel);
    DWORD started = GetTickCount();
    DWORD sent = 0;
    bool delivered = true;
    while (sent < count) {
        if (network->timeout != 0) {
            DWORD left = Remaining(started, network->timeout);
            int waitError = left == 0 ? WSAETIMEDOUT : AwaitWritable(network->socket, left);
            if (waitError != 0) {
                network->sendError = waitError;
                delivered = false;
                break;
            }
        }
        int accepted = send(network->socket, chunk + sent, static_cast<int>(count - sent), 0);
        if (accepted == SOCKET_ERROR && network->timeout != 0 &&
            WSAGetLastError() == WSAEWOULDBLOCK) {
            continue;
        }
        if (accepted == SOCKET_ERROR || accepted == 0) {
            // A blocking send that accepts nothing has no error of its own to report, and
            // asking again would loop for ever.
            network->sendError = accepted == 0 ? WSAECONNABORTED : WSAGetLastError();
            delivered = false;
            break;
        }
        sent += static_cast<DWORD>(accepted);
    }
    PauseAndContinue(network->delay);
    return delivered;
}

// Ends the sending direction, then reads and discards what the printer sends until it closes
// its side. Closing a socket with unread data resets the connection, which throws away what
// is still queued for the printer: a printer that greets, or answers a host query inside the
// label, and reads more slowly than we send would lose the end of its label. Returns 0 when
// the printer closed (*closed set: it read everything), or stayed quiet or kept talking for
// `patience` ms (silence proves nothing: the label counts as sent, unconfirmed); otherwise the
// socket error (a reset says the printer may not have everything). Either way the data still
// queued goes on being delivered after the close, since nothing unread is left then.
int AwaitPrinterClose(SOCKET s, DWORD patience, bool* closed) {
    *closed = false;
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience),
                   sizeof patience) == SOCKET_ERROR ||
        shutdown(s, SD_SEND) == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    char discarded[kCopyChunkSize];
    DWORD started = GetTickCount();
    for (;;) {
        int received = recv(s, discarded, static_cast<int>(sizeof discarded), 0);
        if (received == SOCKET_ERROR) {
            // The receive time-out: the printer stayed quiet.
            int error = WSAGetLastError();
            return error == WSAETIMEDOUT ? 0 : error;
        }
        if (received == 0) {
            *closed = true;
            return 0;
        }
        if (GetTickCount() - started >= patience) {
            return 0;
        }
    }
}

// True when both names are the same address and port, of either family.
bool SameEnd(const sockaddr_storage* one, const sockaddr_storage* other) {
    if (one->ss_family != other->ss_family) {
        return false;
    }
    if (one->ss_family == AF_INET6) {
        const auto* first = reinterpret_cast<const sockaddr_in6*>(one);
        const auto* second = reinterpret_cast<const sockaddr_in6*>(other);
        return first->sin6_port == second->sin6_port &&
               std::memcmp(&first->sin6_addr, &second->sin6_addr, sizeof first->sin6_addr) == 0;
    }
    const auto* first = reinterpret_cast<const sockaddr_in*>(one);
    const auto* second = reinterpret_cast<const sockaddr_in*>(other);
    return first->sin_port == second->sin_port && first->sin_addr.s_addr == second->sin_addr.s_addr;
}

// A connection whose two ends are the same address and port reaches no printer: a socket
// bound to the printer's port connects to itself when the printer's address is this machine
// and nothing listens there. Sets *toItself; false, with *error, when the ends cannot be read.
bool ReadWhetherConnectedToItself(SOCKET s, bool* toItself, int* error) {
    sockaddr_storage local{};
    sockaddr_storage peer{};
    int localLength = sizeof local;
    int peerLength = sizeof peer;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) == SOCKET_ERROR ||
        getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength) == SOCKET_ERROR) {
        *error = WSAGetLastError();
        return false;
    }
    *toItself = SameEnd(&local, &peer);
    return true;
}

// Returns 0 for a connection to someone else, else the error to end the job with.
int SelfConnectionError(SOCKET s) {
    bool toItself = false;
    int error = 0;
    if (!ReadWhetherConnectedToItself(s, &toItself, &error)) {
        return error;
    }
    return toItself ? WSAECONNREFUSED : 0;
}

// A job for a printer named on the command line has no settings key open.
void ReleaseSettingsKey(TransportJob* job) {
    CloseSettingPlaces(job->settings);
}

void CloseSocket(NetworkHold* hold) {
    if (hold->socket != INVALID_SOCKET) {
        closesocket(hold->socket);
        hold->socket = INVALID_SOCKET;
    }
}

// A failed job releases, in this order: the chunk buffer, the input file, the settings key,
// the socket, the socket library registration, the mutex and its handle; then reports.
JobResult EndFailedJob(TransportJob* job, NetworkHold* hold, const JobFailure& failure) {
    ReleaseChunkBuffer(&hold->chunkBuffer);
    CloseJobInput(&job->inputFile);
    ReleaseSettingsKey(job);
    CloseSocket(hold);
    if (hold->registered) {
        WSACleanup();
    }
    if (hold->mutexOwned) {
        ReleaseMutex(hold->mutex);
    }
    if (hold->mutex != nullptr) {
        CloseHandle(hold->mutex);
    }
    ReportDone(job->progressWindow, failure.error, failure.result);
    return failure.result;
}

// A delivered job closes the connection and reports completion, releases, deletes its input,
// hands "ipMutex" on, reports the end (done, held or unconfirmed), and only then lets go of
// the settings key.
JobResult EndSucceededJob(TransportJob* job, NetworkHold* hold) {
    CloseSocket(hold);
    WSACleanup();
    ReportStatus(job->progressWindow, IDS_STATUS_COMPLETE);
    ReleaseChunkBuffer(&hold->chunkBuffer);
    CloseJobInput(&job->inputFile);
    DeleteJobInput(job->path);
    if (hold->mutexOwned) {
        ReleaseMutex(hold->mutex);
    }
    if (hold->mutex != nullptr) {
        CloseHandle(hold->mutex);
    }
    ReportDone(job->progressWindow, hold->delivered.error, hold->delivered.result);
    ReleaseSettingsKey(job);
    return hold->delivered.result;
}

SOCKET OpenStreamSocket() {
    return socket(AF_INET, SOCK_STREAM, 0);
}

// Connects within `milliseconds` (0: blocking, as long as the system tries). With a limit
// the socket is left not blocking, for the sends. Returns 0 or the socket error.
int ConnectWithin(SOCKET s, const sockaddr* printer, int length, DWORD milliseconds) {
    if (milliseconds == 0) {
        return connect(s, printer, length) == SOCKET_ERROR ? WSAGetLastError() : 0;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    if (connect(s, printer, length) != SOCKET_ERROR) {
        return 0;
    }
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK ? AwaitWritable(s, milliseconds) : error;
}

sockaddr_in MakeAddress(std::uint32_t address, unsigned short port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = address;
    return result;
}

// The Port text, still in the value buffer, gives the printer's port (its low 16 bits);
// then the address replaces it there, and the printer is named in the job's outcome by the
// address text as stored.
bool ReadPrinterAddress(TransportJob* job, unsigned short* port, JobFailure* failure) {
    *port = static_cast<unsigned short>(static_cast<unsigned int>(SettingNumber(job->valueBuffer)) &
                                        0xFFFFu);
    if (!ReadPlacedSetting(job->settings, kBaudOrAddressValue, job->valueBuffer, nullptr)) {
        return FailStep(failure, GetLastError(), JobResult::SettingsError);
    }
    PrinterTarget stored{};
    stored.kind = TargetKind::Socket;
    std::snprintf(stored.host, sizeof stored.host, "%s", job->valueBuffer);
    stored.port = *port;
    RecordJobTarget(&stored);
    return true;
}

// Waits for the network jobs of every instance before this one, within the job's limit; an
// abandoned mutex is owned all the same. Without the mutex the job goes on alone. A turn
// that does not come in time ends the job as a printer not reached, with nothing sent.
bool TakeNetworkTurn(TransportJob* job, NetworkHold* hold, JobFailure* failure) {
    if (hold->mutex == nullptr) {
        return true;
    }
    DWORD error = NO_ERROR;
    if (!WaitForJobTurn(hold->mutex, job, &error)) {
        return FailStep(failure, error, JobResult::PortConfigError);
    }
    hold->mutexOwned = true;
    return true;
}

// Registers with the socket library and opens the stream socket, Attempts times at most
// with a pause between.
bool OpenPrinterSocket(TransportJob* job, NetworkHold* hold, JobFailure* failure) {
    WSADATA winsockData;
    WSAStartup(kWinsockVersion, &winsockData);
    hold->registered = true;

    int attemptsLeft = job->attempts;
    for (;;) {
        hold->socket = OpenStreamSocket();
        if (hold->socket != INVALID_SOCKET) {
            return true;
        }
        int error = WSAGetLastError();
        if (attemptsLeft <= 1) {
            return FailStep(failure, static_cast<DWORD>(error), JobResult::PortOpenError);
        }
        --attemptsLeft;
        PauseAndContinue(kSocketRetryPause);
    }
}

// The local end takes the printer's own port. That port stays in TIME_WAIT for minutes
// after a job, so "address in use" from bind or connect is met by one more connect on
// a fresh socket that the system binds to a free port. A job that starts while the
// previous job's close is still unacknowledged meets the same pair of ends, which some
// stacks refuse at connect as "address not available": met the same way.
bool ConnectToPrinter(TransportJob* job, NetworkHold* hold, unsigned short port,
                      JobFailure* failure) {
    bool addressInUse = false;
    sockaddr_in local = MakeAddress(htonl(INADDR_ANY), port);
    if (bind(hold->socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) ==
        SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEADDRINUSE) {
            return FailStep(failure, static_cast<DWORD>(error), JobResult::PortSettingsReadError);
        }
        addressInUse = true;
    }

    // inet_addr gives 0 for "0.0.0.0" and for "0" (one part, all 32 bits): no printer has
    // that address, and connecting to it reaches this machine. A text it rejects gives
    // INADDR_NONE, which connect refuses on its own.
    sockaddr_in printer = MakeAddress(inet_addr(job->valueBuffer), port);
    if (printer.sin_addr.s_addr == htonl(INADDR_ANY)) {
        return FailStep(failure, WSAECONNREFUSED, JobResult::PortConfigError);
    }
    DWORD timeout = TimeoutMilliseconds(job->timeout);
    const auto* printerName = reinterpret_cast<const sockaddr*>(&printer);
    int connectError =
        addressInUse ? 0 : ConnectWithin(hold->socket, printerName, sizeof printer, timeout);
    if (connectError != 0) {
        int error = connectError;
        if (error != WSAEADDRINUSE && error != WSAEADDRNOTAVAIL) {
            return FailStep(failure, static_cast<DWORD>(error), JobResult::PortConfigError);
        }
        addressInUse = true;
    }

    if (addressInUse) {
        CloseSocket(hold);
        hold->socket = OpenStreamSocket();
        if (hold->socket == INVALID_SOCKET) {
            return FailStep(failure, static_cast<DWORD>(WSAGetLastError()),
                            JobResult::PortOpenError);
        }
        connectError = ConnectWithin(hold->socket, printerName, sizeof printer, timeout);
        if (connectError != 0) {
            return FailStep(failure, static_cast<DWORD>(connectError), JobResult::PortConfigError);
        }
    }

    int selfError = SelfConnectionError(hold->socket);
    if (selfError != 0) {
        return FailStep(failure, static_cast<DWORD>(selfError), JobResult::PortConfigError);
    }
    return true;
}

// True for the unspecified address of either family ("0.0.0.0", "::"): no printer has it,
// and connecting to it reaches this machine.
bool IsUnspecifiedAddress(const sockaddr* address) {
    if (address->sa_family == AF_INET6) {
        const in6_addr& bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        static const in6_addr kUnspecified{};
        return std::memcmp(&bytes, &kUnspecified, sizeof bytes) == 0;
    }
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == htonl(INADDR_ANY);
}

enum class AddressOutcome {
    Connected,
    Failed,   // this address reaches no printer now: the next one, or the next attempt
    JobEnded, // the connection is made but cannot be checked: no other is tried
};

// One address of the host named on the command line: a socket of its family, connected
// within the time-out to someone other than itself. The system picks the local port.
AddressOutcome ConnectToAddress(NetworkHold* hold, const addrinfo* address, DWORD timeout,
                                JobFailure* failure) {
    CloseSocket(hold);
    hold->socket = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (hold->socket == INVALID_SOCKET) {
        FailStep(failure, static_cast<DWORD>(WSAGetLastError()), JobResult::PortOpenError);
        return AddressOutcome::Failed;
    }
    if (IsUnspecifiedAddress(address->ai_addr)) {
        FailStep(failure, WSAECONNREFUSED, JobResult::PortConfigError);
        return AddressOutcome::Failed;
    }
    int connectError = ConnectWithin(hold->socket, address->ai_addr,
                                     static_cast<int>(address->ai_addrlen), timeout);
    if (connectError != 0) {
        FailStep(failure, static_cast<DWORD>(connectError), JobResult::PortConfigError);
        return AddressOutcome::Failed;
    }
    bool toItself = false;
    int nameError = 0;
    if (!ReadWhetherConnectedToItself(hold->socket, &toItself, &nameError)) {
        FailStep(failure, static_cast<DWORD>(nameError), JobResult::PortConfigError);
        return AddressOutcome::JobEnded;
    }
    if (toItself) {
        FailStep(failure, WSAECONNREFUSED, JobResult::PortConfigError);
        return AddressOutcome::Failed;
    }
    return AddressOutcome::Connected;
}

// Registers with the socket library, resolves the host the device URI names and tries
// each of its addresses in turn, the whole list Attempts times at most with a pause between.
// A host that cannot be resolved fails as a connection does, with the resolver's code.
bool ConnectToTargetHost(TransportJob* job, NetworkHold* hold, const PrinterTarget* target,
                         JobFailure* failure) {
    WSADATA winsockData;
    WSAStartup(kWinsockVersion, &winsockData);
    hold->registered = true;

    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(target->port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addresses = nullptr;
    int resolveError = getaddrinfo(target->host, service, &hints, &addresses);
    if (resolveError != 0) {
        return FailStep(failure, static_cast<DWORD>(resolveError), JobResult::PortConfigError);
    }
    DWORD timeout = TimeoutMilliseconds(job->timeout);
    AddressOutcome outcome = AddressOutcome::Failed;
    int attemptsLeft = job->attempts;
    for (;;) {
        for (const addrinfo* address = addresses;
             address != nullptr && outcome == AddressOutcome::Failed; address = address->ai_next) {
            outcome = ConnectToAddress(hold, address, timeout, failure);
        }
        if (outcome != AddressOutcome::Failed || attemptsLeft <= 1) {
            break;
        }
        --attemptsLeft;
        PauseAndContinue(kSocketRetryPause);
    }
    freeaddrinfo(addresses);
    return outcome == AddressOutcome::Connected;
}

// Asks the printer for its status when the settings want it; a printer that answers with a
// condition it cannot print in gets no label. A silent or garbled answer lets the label go.
// A printer named on the command line has no stored settings to ask; a stored "Printer" has.
bool CheckPrinterReady(TransportJob* job, NetworkHold* hold, JobFailure* failure) {
    if (!SettingPlacesOpen(job->settings) || !PlacedStatusCheck(job->settings)) {
        return true;
    }
    PrinterReport report{};
    int sendError = 0;
    if (!QuerySocketPrinterStatus(hold->socket, &report, &sendError)) {
        return FailStep(failure, static_cast<DWORD>(sendError), JobResult::PortWriteError);
    }
    DWORD refusal = PrinterRefusal(report);
    RecordCheckedState(report, refusal);
    if (refusal != 0) {
        return FailStep(failure, refusal, JobResult::PrinterNotReady);
    }
    return true;
}

// Copies the input to the connection.
bool SendLabel(TransportJob* job, NetworkHold* hold, JobFailure* failure) {
    DWORD timeout = TimeoutMilliseconds(job->timeout);
    NetworkChannel channel{hold->socket, job->delay, timeout, 0};
    CopyOutcome outcome = JobCopyLoop(job->inputFile, job->progressWindow, SendChunk, &channel,
                                      &hold->chunkBuffer, CopyChunkSize(job->delay));
    if (outcome == CopyOutcome::ReadFailed) {
        return FailStep(failure, GetLastError(), JobResult::InputFileError);
    }
    if (outcome == CopyOutcome::WriteFailed) {
        return FailStep(failure, static_cast<DWORD>(channel.sendError), JobResult::PortWriteError);
    }
    // Stopped by the launcher: the connection is closed as after a failed write.
    if (outcome == CopyOutcome::Stopped) {
        return FailStep(failure, ERROR_CANCELLED, JobResult::PortWriteError);
    }
    return true;
}

// With confirmation, asks the printer on the same connection, then ends the sending side and
// closes at once: the printer has answered, so nothing is left unread. Without, waits for the
// printer to close its side. "ipMutex" stays held meanwhile, so that instances keep their order.
bool ConfirmLabel(TransportJob* job, NetworkHold* hold, JobFailure* failure) {
    if (job->confirm != ConfirmLevel::Off) {
        Confirmation confirmation = ConfirmOverSocket(hold->socket, job->confirm, job->timeout);
        shutdown(hold->socket, SD_SEND);
        return TakeConfirmation(confirmation, &hold->delivered, failure);
    }
    // The closing wait has its own limits and waits on a blocking socket.
    u_long blocking = 0;
    if (job->timeout > 0 && ioctlsocket(hold->socket, FIONBIO, &blocking) == SOCKET_ERROR) {
        return FailStep(failure, static_cast<DWORD>(WSAGetLastError()), JobResult::PortWriteError);
    }
    bool closed = false;
    int closeError = AwaitPrinterClose(hold->socket, ConfirmationPatience(job->timeout), &closed);
    if (closeError != 0) {
        return FailStep(failure, static_cast<DWORD>(closeError), JobResult::PortWriteError);
    }
    g_jobOutcome.confirmed = closed ? Confirmed::Closed : Confirmed::No;
    return true;
}

} // namespace

JobResult NetworkTransport(TransportJob* job) {
    NetworkHold hold{nullptr, false, false, INVALID_SOCKET, nullptr, {0, JobResult::Done}};
    JobFailure failure{0, JobResult::Done};
    hold.mutex = CreateMutexA(nullptr, FALSE, kNetworkMutexName);
    ReportStatus(job->progressWindow, kEmptyStatus);

    const PrinterTarget* target = job->target;
    if (target != nullptr) {
        if (!TakeNetworkTurn(job, &hold, &failure) ||
            !ConnectToTargetHost(job, &hold, target, &failure) ||
            !CheckPrinterReady(job, &hold, &failure) || !SendLabel(job, &hold, &failure) ||
            !ConfirmLabel(job, &hold, &failure)) {
            return EndFailedJob(job, &hold, failure);
        }
        return EndSucceededJob(job, &hold);
    }

    unsigned short port = 0;
    if (!ReadPrinterAddress(job, &port, &failure)) {
        return EndFailedJob(job, &hold, failure);
    }
    if (!TakeNetworkTurn(job, &hold, &failure) || !OpenPrinterSocket(job, &hold, &failure) ||
        !ConnectToPrinter(job, &hold, port, &failure) || !CheckPrinterReady(job, &hold, &failure) ||
        !SendLabel(job, &hold, &failure) || !ConfirmLabel(job, &hold, &failure)) {
        return EndFailedJob(job, &hold, failure);
    }
    return EndSucceededJob(job, &hold);
}
