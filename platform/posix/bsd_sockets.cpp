// Substitute BSD sockets: the socket calls behind the Winsock substitute, and the loopback
// listener its tests use.
#include "platform/posix/bsd_sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bsd {
namespace {

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result;
    std::memset(&result, 0, sizeof result);
    result.sin_family = AF_INET;
    result.sin_port = port;
    result.sin_addr.s_addr = address;
    return result;
}

// A connect that a signal interrupted goes on in the background: wait for its outcome.
bool FinishInterruptedConnect(int socket, int* error) {
    for (;;) {
        pollfd entry{socket, POLLOUT, 0};
        int ready = ::poll(&entry, 1, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            *error = errno;
            return false;
        }
        int status = 0;
        socklen_t length = sizeof status;
        if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &status, &length) != 0) {
            *error = errno;
            return false;
        }
        if (status != 0) {
            *error = status;
            return false;
        }
        return true;
    }
}

} // namespace

int OpenStreamSocket(bool ipv6, int* error) {
    int result = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (result < 0) {
        *error = errno;
    }
    return result;
}

namespace {

// The system's form of an endpoint; its length is returned.
socklen_t SystemAddress(const Endpoint& endpoint, sockaddr_storage* storage) {
    std::memset(storage, 0, sizeof *storage);
    if (endpoint.ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = endpoint.port;
        address->sin6_flowinfo = endpoint.flowInfo;
        address->sin6_scope_id = endpoint.scope;
        std::memcpy(&address->sin6_addr, endpoint.address.data(), 16);
        return sizeof(sockaddr_in6);
    }
    auto* address = reinterpret_cast<sockaddr_in*>(storage);
    address->sin_family = AF_INET;
    address->sin_port = endpoint.port;
    std::memcpy(&address->sin_addr, endpoint.address.data(), 4);
    return sizeof(sockaddr_in);
}

// False for a family other than the two.
bool EndpointFrom(const sockaddr* system, Endpoint* endpoint) {
    *endpoint = Endpoint{};
    if (system->sa_family == AF_INET6) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(system);
        endpoint->ipv6 = true;
        endpoint->port = address->sin6_port;
        endpoint->flowInfo = address->sin6_flowinfo;
        endpoint->scope = address->sin6_scope_id;
        std::memcpy(endpoint->address.data(), &address->sin6_addr, 16);
        return true;
    }
    if (system->sa_family == AF_INET) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(system);
        endpoint->port = address->sin_port;
        std::memcpy(endpoint->address.data(), &address->sin_addr, 4);
        return true;
    }
    return false;
}

ResolveFailure ResolveFailureOf(int code) {
    switch (code) {
    case EAI_NONAME:
        return ResolveFailure::NoName;
    case EAI_AGAIN:
        return ResolveFailure::TryAgain;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return ResolveFailure::NoData;
    case EAI_FAMILY:
        return ResolveFailure::Family;
    case EAI_SOCKTYPE:
        return ResolveFailure::SocketType;
    case EAI_SERVICE:
        return ResolveFailure::Service;
    case EAI_MEMORY:
        return ResolveFailure::Memory;
    case EAI_BADFLAGS:
        return ResolveFailure::BadFlags;
    case EAI_SYSTEM:
        return ResolveFailure::System;
    default:
        return ResolveFailure::Fail;
    }
}

} // namespace

std::string AddressText(const Endpoint& endpoint) {
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(endpoint.ipv6 ? AF_INET6 : AF_INET, endpoint.address.data(), text, sizeof text);
    return text;
}

ResolveFailure Resolve(const char* node, const char* service, int family,
                       std::vector<Endpoint>* found, int* error) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = family == 4 ? AF_INET : family == 6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int code = ::getaddrinfo(node, service, &hints, &list);
    if (code != 0) {
        *error = errno;
        return ResolveFailureOf(code);
    }
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        Endpoint endpoint;
        if (entry->ai_addr != nullptr && EndpointFrom(entry->ai_addr, &endpoint)) {
            found->push_back(endpoint);
        }
    }
    ::freeaddrinfo(list);
    return found->empty() ? ResolveFailure::NoData : ResolveFailure::None;
}

bool Bind(int socket, const Endpoint& local, int* error) {
    sockaddr_storage address;
    socklen_t length = SystemAddress(local, &address);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool Connect(int socket, const Endpoint& remote, int* error) {
    sockaddr_storage address;
    socklen_t length = SystemAddress(remote, &address);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        return true;
    }
    if (errno == EINTR) {
        return FinishInterruptedConnect(socket, error);
    }
    *error = errno;
    return false;
}

bool NameOf(int socket, bool peer, Endpoint* name, int* error) {
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    socklen_t length = sizeof address;
    int result = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                      : ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (result != 0) {
        *error = errno;
        return false;
    }
    if (!EndpointFrom(reinterpret_cast<const sockaddr*>(&address), name)) {
        *error = EAFNOSUPPORT;
        return false;
    }
    return true;
}

long Send(int socket, const char* data, std::size_t length, int* error) {
    for (;;) {
        ssize_t sent = ::send(socket, data, length, MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<long>(sent);
        }
        if (errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
}

long Receive(int socket, char* data, std::size_t length, int* error) {
    for (;;) {
        ssize_t got = ::recv(socket, data, length, 0);
        if (got >= 0) {
            return static_cast<long>(got);
        }
        if (errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
}

bool Shutdown(int socket, int how, int* error) {
    if (::shutdown(socket, how) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool SetReceiveTimeout(int socket, unsigned long milliseconds, int* error) {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool SetNonBlocking(int socket, bool on, int* error) {
    int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool PendingError(int socket, int* status, int* error) {
    socklen_t length = sizeof *status;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, status, &length) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

int WaitReady(const int* sockets, int* events, std::size_t count, int milliseconds, int* error) {
    std::vector<pollfd> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        short wanted = 0;
        wanted |= (events[i] & kReadyToRead) != 0 ? POLLIN : 0;
        wanted |= (events[i] & kReadyToWrite) != 0 ? POLLOUT : 0;
        wanted |= (events[i] & kExceptional) != 0 ? POLLPRI : 0;
        entries[i] = pollfd{sockets[i], wanted, 0};
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    int ready = 0;
    for (;;) {
        int wait = milliseconds;
        if (milliseconds >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        ready = ::poll(entries.data(), entries.size(), wait);
        if (ready >= 0) {
            break;
        }
        if (errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
    int result = 0;
    for (std::size_t i = 0; i < count; ++i) {
        int found = 0;
        // A closed or failed peer counts as readable, as select reports it: the read tells.
        if ((events[i] & kReadyToRead) != 0 &&
            (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            found |= kReadyToRead;
        }
        if ((events[i] & kReadyToWrite) != 0 && (entries[i].revents & (POLLOUT | POLLERR)) != 0) {
            found |= kReadyToWrite;
        }
        if ((events[i] & kExceptional) != 0 && (entries[i].revents & POLLPRI) != 0) {
            found |= kExceptional;
        }
        events[i] = found;
        result += found != 0 ? 1 : 0;
    }
    return result;
}

void Close(int socket) {
    ::close(socket);
}

std::uint16_t FreeLocalPort() {
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return 0;
    }
    sockaddr_in local = MakeAddress(htonl(INADDR_ANY), 0);
    std::uint16_t port = 0;
    socklen_t length = sizeof local;
    if (::bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        port = ntohs(local.sin_port);
    }
    ::close(probe);
    return port;
}

namespace {

// Accepts one connection after the other and reads each to its end. Every wait is a poll
// of a few milliseconds, so that a stop request is seen at once.
struct Listener {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;
    bool stopping = false;
    bool answering = false;
    std::string answer; // sent back for each "~HS" that arrives while answering
    bool reportingErrors = false;
    std::string errorReport; // sent back for each "~HQES" while reportingErrors
    int socket = -1;
    std::thread thread;
    PeerBehaviour behaviour;
};

Listener& TheListener() {
    static Listener listener;
    return listener;
}

constexpr int kPollMilliseconds = 20;

bool Stopping(Listener& listener) {
    std::lock_guard<std::mutex> guard(listener.lock);
    return listener.stopping;
}

// The whole greeting, however slowly the sender reads it; false when the sender has gone.
bool SendGreeting(Listener& listener, int connection, const std::string& greeting) {
    std::size_t sent = 0;
    while (sent < greeting.size() && !Stopping(listener)) {
        pollfd entry{connection, POLLOUT, 0};
        if (::poll(&entry, 1, kPollMilliseconds) <= 0) {
            continue;
        }
        ssize_t done = ::send(connection, greeting.data() + sent, greeting.size() - sent,
                              MSG_NOSIGNAL | MSG_DONTWAIT);
        if (done < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
        sent += done > 0 ? static_cast<std::size_t>(done) : 0;
    }
    return true;
}

struct Query {
    const char* text;
    std::string answer;
    bool answering;
    std::size_t from; // where the search for the next one starts
};

// Answers the queries in the order they arrived, as a printer's parser meets them.
void AnswerQueries(int connection, const std::string& bytes, Query (&queries)[2]) {
    for (;;) {
        Query* next = nullptr;
        std::size_t nextAt = std::string::npos;
        for (Query& query : queries) {
            std::size_t at =
                query.answering ? bytes.find(query.text, query.from) : std::string::npos;
            if (at < nextAt) {
                next = &query;
                nextAt = at;
            }
        }
        if (next == nullptr) {
            return;
        }
        next->from = nextAt + std::strlen(next->text);
        ::send(connection, next->answer.data(), next->answer.size(), MSG_NOSIGNAL);
    }
}

void ReceiveOne(Listener& listener, int connection, std::uint16_t peerPort) {
    Delivery delivery{std::string(), peerPort};
    PeerBehaviour behaviour;
    {
        std::lock_guard<std::mutex> guard(listener.lock);
        behaviour = listener.behaviour;
    }
    // The greeting goes out on a thread of its own, so that a sender that reads it only at
    // the end still has all its data read meanwhile.
    std::thread greeter([&listener, connection, &behaviour] {
        SendGreeting(listener, connection, behaviour.greeting);
    });
    char buffer[4096];
    bool ended = false;
    while (!Stopping(listener)) {
        pollfd entry{connection, POLLIN, 0};
        int ready = ::poll(&entry, 1, kPollMilliseconds);
        if (ready <= 0) {
            continue;
        }
        ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got > 0) {
            // A query split over two reads is found all the same: each search starts one
            // byte short of the query's length before the new bytes.
            std::size_t old = delivery.bytes.size();
            delivery.bytes.append(buffer, static_cast<std::size_t>(got));
            Query queries[2] = {{"~HS", "", false, old > 2 ? old - 2 : 0},
                                {"~HQES", "", false, old > 4 ? old - 4 : 0}};
            {
                std::lock_guard<std::mutex> guard(listener.lock);
                queries[0].answer = listener.answer;
                queries[0].answering = listener.answering;
                queries[1].answer = listener.errorReport;
                queries[1].answering = listener.reportingErrors;
            }
            AnswerQueries(connection, delivery.bytes, queries);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        ended = got == 0;
        break; // end of stream, or the peer reset it
    }
    if (ended && behaviour.end == PeerEnd::Reset) {
        linger abort{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    auto deliver = [&listener, &delivery] {
        {
            std::lock_guard<std::mutex> guard(listener.lock);
            listener.deliveries.push_back(std::move(delivery));
        }
        listener.changed.notify_all();
    };
    // A peer that stays open has all it will get once the sender has ended its side.
    bool stayOpen = ended && behaviour.end == PeerEnd::StayOpen;
    if (stayOpen) {
        deliver();
        while (!Stopping(listener)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
        }
    }
    greeter.join();
    ::close(connection);
    if (!stayOpen) {
        deliver();
    }
}

void ListenLoop(Listener& listener, int socket) {
    while (!Stopping(listener)) {
        pollfd entry{socket, POLLIN, 0};
        if (::poll(&entry, 1, kPollMilliseconds) <= 0) {
            continue;
        }
        sockaddr_storage peer;
        socklen_t length = sizeof peer;
        int connection =
            ::accept4(socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        Endpoint from;
        if (connection >= 0) {
            EndpointFrom(reinterpret_cast<const sockaddr*>(&peer), &from);
            ReceiveOne(listener, connection, ntohs(from.port));
        }
    }
}

} // namespace

void SetPeerBehaviour(const PeerBehaviour& behaviour) {
    Listener& listener = TheListener();
    std::lock_guard<std::mutex> guard(listener.lock);
    listener.behaviour = behaviour;
}

std::uint16_t StartListener(bool ipv6) {
    StopListener();
    Listener& listener = TheListener();
    int error = 0;
    int socket = OpenStreamSocket(ipv6, &error);
    if (socket < 0) {
        return 0;
    }
    Endpoint local;
    local.ipv6 = ipv6;
    if (ipv6) {
        local.address[15] = 1; // ::1
    } else {
        std::uint32_t loopback = htonl(INADDR_LOOPBACK);
        std::memcpy(local.address.data(), &loopback, 4);
    }
    if (!Bind(socket, local, &error) || ::listen(socket, 8) != 0 ||
        !NameOf(socket, false, &local, &error)) {
        ::close(socket);
        return 0;
    }
    {
        std::lock_guard<std::mutex> guard(listener.lock);
        listener.deliveries.clear();
        listener.stopping = false;
        listener.socket = socket;
    }
    listener.thread = std::thread(ListenLoop, std::ref(listener), socket);
    return ntohs(local.port);
}

void StopListener() {
    Listener& listener = TheListener();
    {
        std::lock_guard<std::mutex> guard(listener.lock);
        listener.stopping = true;
    }
    if (listener.thread.joinable()) {
        listener.thread.join();
    }
    std::lock_guard<std::mutex> guard(listener.lock);
    listener.answering = false;
    listener.answer.clear();
    listener.reportingErrors = false;
    listener.errorReport.clear();
    if (listener.socket >= 0) {
        ::close(listener.socket);
        listener.socket = -1;
    }
}

void AnswerHostStatus(bool answering, const std::string& answer) {
    Listener& listener = TheListener();
    std::lock_guard<std::mutex> guard(listener.lock);
    listener.answering = answering;
    listener.answer = answer;
}

void AnswerErrorReport(bool answering, const std::string& answer) {
    Listener& listener = TheListener();
    std::lock_guard<std::mutex> guard(listener.lock);
    listener.reportingErrors = answering;
    listener.errorReport = answer;
}

std::vector<Delivery> Deliveries() {
    Listener& listener = TheListener();
    std::lock_guard<std::mutex> guard(listener.lock);
    return listener.deliveries;
}

bool WaitForDeliveries(std::size_t count, std::chrono::milliseconds timeout) {
    Listener& listener = TheListener();
    std::unique_lock<std::mutex> guard(listener.lock);
    return listener.changed.wait_for(guard, timeout,
                                     [&] { return listener.deliveries.size() >= count; });
}

} // namespace bsd
