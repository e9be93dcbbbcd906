// Substitute BSD sockets: the socket calls behind the Winsock substitute, and the loopback
// listener its tests use.
#include "platform/posix/bsd_sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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

int OpenStreamSocket(int* error) {
    int result = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (result < 0) {
        *error = errno;
    }
    return result;
}

bool Bind(int socket, std::uint32_t address, std::uint16_t port, int* error) {
    sockaddr_in local = MakeAddress(address, port);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool Connect(int socket, std::uint32_t address, std::uint16_t port, int* error) {
    sockaddr_in remote = MakeAddress(address, port);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
        return true;
    }
    if (errno == EINTR) {
        return FinishInterruptedConnect(socket, error);
    }
    *error = errno;
    return false;
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

namespace {

bool AddressOf(int socket, bool peer, std::uint32_t* address, std::uint16_t* port, int* error) {
    sockaddr_in name;
    std::memset(&name, 0, sizeof name);
    socklen_t length = sizeof name;
    int result = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&name), &length)
                      : ::getsockname(socket, reinterpret_cast<sockaddr*>(&name), &length);
    if (result != 0) {
        *error = errno;
        return false;
    }
    *address = name.sin_addr.s_addr;
    *port = name.sin_port;
    return true;
}

} // namespace

bool LocalName(int socket, std::uint32_t* address, std::uint16_t* port, int* error) {
    return AddressOf(socket, false, address, port, error);
}

bool PeerName(int socket, std::uint32_t* address, std::uint16_t* port, int* error) {
    return AddressOf(socket, true, address, port, error);
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
            // A query split over two reads is found all the same: the search starts two
            // bytes before the new ones.
            std::size_t from = delivery.bytes.size() > 2 ? delivery.bytes.size() - 2 : 0;
            delivery.bytes.append(buffer, static_cast<std::size_t>(got));
            std::string answer;
            bool answering = false;
            {
                std::lock_guard<std::mutex> guard(listener.lock);
                answering = listener.answering;
                answer = listener.answer;
            }
            for (std::size_t at = delivery.bytes.find("~HS", from);
                 answering && at != std::string::npos; at = delivery.bytes.find("~HS", at + 3)) {
                ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
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
        sockaddr_in peer;
        socklen_t length = sizeof peer;
        int connection =
            ::accept4(socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (connection >= 0) {
            ReceiveOne(listener, connection, ntohs(peer.sin_port));
        }
    }
}

} // namespace

void SetPeerBehaviour(const PeerBehaviour& behaviour) {
    Listener& listener = TheListener();
    std::lock_guard<std::mutex> guard(listener.lock);
    listener.behaviour = behaviour;
}

std::uint16_t StartListener() {
    StopListener();
    Listener& listener = TheListener();
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return 0;
    }
    sockaddr_in local = MakeAddress(htonl(INADDR_LOOPBACK), 0);
    socklen_t length = sizeof local;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(socket, 8) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
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
    return ntohs(local.sin_port);
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
