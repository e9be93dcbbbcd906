// Substitute Winsock: the Windows Sockets 1.1 subset over BSD sockets, with counted
// registrations, blocking stream sockets of both families, byte order, Windows' inet_addr,
// getaddrinfo over the system's resolver, and WSAE* codes.
#include "platform/posix/bsd_sockets.h"
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace {

// A socket is a handle of the kernel table, as on Windows, so that the leak check sees it.
struct SocketObject : substitute::KernelObject {
    int descriptor = -1;
    bool ipv6 = false; // AF_INET6
    bool connected = false;
    DWORD receiveTimeout = 0; // SO_RCVTIMEO, milliseconds
    bool nonBlocking = false; // FIONBIO
    bool connecting = false;  // a non-blocking connect not yet seen complete by select
    int pendingError = 0;     // a non-blocking connect's failure, for select and SO_ERROR

    ~SocketObject() override {
        if (descriptor >= 0) {
            bsd::Close(descriptor);
        }
    }
};

// Each registration is a handle too: a missing WSACleanup shows among the open handles.
struct Registration : substitute::KernelObject {};

// An answer of getaddrinfo: its records, laid out as Windows lays them out, and a handle, so
// that a missing freeaddrinfo shows among the open handles.
struct AddressList : substitute::KernelObject {
    std::vector<addrinfo> entries;
    std::vector<sockaddr_storage> addresses;
};

struct WinsockState {
    std::mutex lock;
    std::vector<HANDLE> registrations;
    std::set<SOCKET> sockets;
    std::map<const addrinfo*, HANDLE> addressLists;
    int sendLimit = 0;
    unsigned short connectRedirect = 0;
    bool bindRedirected = false;
    unsigned short bindFrom = 0;
    unsigned short bindTo = 0;
    int recvTimeOuts = 0;
    int recvTimeOutSkip = 0;
    DWORD recvWait = 0;
    bool peerIsSelf = false;
    int selectTimeOuts = 0;
    int selectTimeOutSkip = 0;
    DWORD selectWait = 0;
};

WinsockState& State() {
    static WinsockState state;
    return state;
}

bool Registered() {
    std::lock_guard<std::mutex> guard(State().lock);
    return !State().registrations.empty();
}

int WsaErrorFromErrno(int error) {
    switch (error) {
    case EINTR:
        return WSAEINTR;
    case EBADF:
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    // Windows has no broken pipe: a send to a peer that has gone fails with a reset.
    case EPIPE:
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    default:
        return WSAEINVAL; // no closer Winsock code
    }
}

// Fails the call with the scripted error, or with WSANOTINITIALISED before WSAStartup.
bool RefusedCall(const char* call) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure(call, &error)) {
        WSASetLastError(static_cast<int>(error));
        return true;
    }
    if (!Registered()) {
        WSASetLastError(WSANOTINITIALISED);
        return true;
    }
    return false;
}

std::shared_ptr<SocketObject> FindSocket(SOCKET s) {
    return substitute::FindHandleAs<SocketObject>(reinterpret_cast<HANDLE>(s));
}

// The endpoint of an AF_INET or AF_INET6 address (the caller has checked its length).
bsd::Endpoint EndpointOf(const sockaddr* address) {
    bsd::Endpoint endpoint;
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        endpoint.ipv6 = true;
        endpoint.port = v6->sin6_port;
        endpoint.flowInfo = v6->sin6_flowinfo;
        endpoint.scope = v6->sin6_scope_id;
        std::memcpy(endpoint.address.data(), v6->sin6_addr.s6_addr, 16);
    } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        endpoint.port = v4->sin_port;
        std::memcpy(endpoint.address.data(), &v4->sin_addr.s_addr, 4);
    }
    return endpoint;
}

// Writes the endpoint in Windows' layout; returns its length.
int WriteWinsockAddress(const bsd::Endpoint& endpoint, sockaddr_storage* storage) {
    std::memset(storage, 0, sizeof *storage);
    if (endpoint.ipv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = endpoint.port;
        v6->sin6_flowinfo = endpoint.flowInfo;
        v6->sin6_scope_id = endpoint.scope;
        std::memcpy(v6->sin6_addr.s6_addr, endpoint.address.data(), 16);
        return static_cast<int>(sizeof(sockaddr_in6));
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(storage);
    v4->sin_family = AF_INET;
    v4->sin_port = endpoint.port;
    std::memcpy(&v4->sin_addr.s_addr, endpoint.address.data(), 4);
    return static_cast<int>(sizeof(sockaddr_in));
}

std::string PortText(const bsd::Endpoint& endpoint) {
    return std::to_string(ntohs(endpoint.port));
}

// "1.2.3.4:9100" or "[::1]:9100", for the call log.
std::string EndpointText(const bsd::Endpoint& endpoint) {
    std::string address = bsd::AddressText(endpoint);
    return (endpoint.ipv6 ? "[" + address + "]" : address) + ":" + PortText(endpoint);
}

// The address's length is enough for its family (and the family is one of the two).
bool AddressFits(const sockaddr* address, int length) {
    if (address == nullptr || length < static_cast<int>(sizeof(sockaddr_in))) {
        return false;
    }
    return address->sa_family != AF_INET6 || length >= static_cast<int>(sizeof(sockaddr_in6));
}

// Checks the common arguments of bind and connect; the address is then one of the socket's
// own family.
std::shared_ptr<SocketObject> SocketForAddress(SOCKET s, const sockaddr* address, int length) {
    std::shared_ptr<SocketObject> object = FindSocket(s);
    if (object == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return nullptr;
    }
    if (!AddressFits(address, length)) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    if (address->sa_family != (object->ipv6 ? AF_INET6 : AF_INET)) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return nullptr;
    }
    return object;
}

// One part of a dotted address as the C library reads it: 0x.. hexadecimal, 0.. octal,
// else decimal. Returns the text after it, or nullptr when there are no valid digits.
const char* ReadAddressPart(const char* text, std::uint64_t* value) {
    unsigned base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    } else if (text[0] == '0') {
        base = 8;
    }
    std::uint64_t result = 0;
    const char* start = text;
    for (;; ++text) {
        unsigned digit = 0;
        char c = *text;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            break;
        }
        if (digit >= base) {
            return nullptr;
        }
        result = result * base + digit;
        if (result > 0xFFFFFFFFu) {
            return nullptr;
        }
    }
    if (text == start) {
        return nullptr;
    }
    *value = result;
    return text;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

} // namespace

unsigned short htons(unsigned short value) {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<unsigned short>((value >> 8) | (value << 8));
    }
    return value;
}

unsigned short ntohs(unsigned short value) {
    return htons(value);
}

std::uint32_t htonl(std::uint32_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) |
               (value >> 24);
    }
    return value;
}

std::uint32_t ntohl(std::uint32_t value) {
    return htonl(value);
}

// "a.b.c.d", "a.b.c" (c 16 bits), "a.b" (b 24 bits) or "a" (32 bits), each part decimal,
// octal or hexadecimal, ended by the end of the text or a blank; INADDR_NONE otherwise.
std::uint32_t inet_addr(const char* text) {
    if (text == nullptr) {
        return INADDR_NONE;
    }
    std::uint64_t parts[4] = {0, 0, 0, 0};
    int count = 0;
    const char* at = text;
    for (;;) {
        at = ReadAddressPart(at, &parts[count]);
        if (at == nullptr) {
            return INADDR_NONE;
        }
        ++count;
        if (*at != '.') {
            break;
        }
        if (count == 4) {
            return INADDR_NONE;
        }
        ++at;
    }
    if (*at != '\0' && !IsBlank(*at)) {
        return INADDR_NONE;
    }
    std::uint64_t host = 0;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xFFu) {
            return INADDR_NONE;
        }
        host |= parts[i] << (24 - 8 * i);
    }
    std::uint64_t last = parts[count - 1];
    if (last > (0xFFFFFFFFull >> (8 * (count - 1)))) {
        return INADDR_NONE;
    }
    host |= last;
    return htonl(static_cast<std::uint32_t>(host));
}

int WSAGetLastError() {
    return static_cast<int>(GetLastError());
}

// As on Windows, the socket error is the thread's last error.
void WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

int WSAStartup(WORD version, LPWSADATA data) {
    substitute::LogCall("WSAStartup", std::to_string(version & 0xFFu) + "." +
                                          std::to_string((version >> 8) & 0xFFu));
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("WSAStartup", &error)) {
        return static_cast<int>(error);
    }
    if (data == nullptr) {
        return WSAEFAULT;
    }
    std::memset(data, 0, sizeof *data);
    data->wHighVersion = 0x0202;
    unsigned major = version & 0xFFu;
    unsigned minor = (version >> 8) & 0xFFu;
    if (major == 0) {
        data->wVersion = 0x0202;
        return WSAVERNOTSUPPORTED;
    }
    data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? WORD{0x0202} : version;
    std::snprintf(data->szDescription, sizeof data->szDescription, "%s",
                  "Tagwright substitute sockets");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "%s", "Running");
    auto registration = std::make_shared<Registration>();
    registration->label = "winsock:registration";
    HANDLE handle = substitute::AddHandle(registration);
    std::lock_guard<std::mutex> guard(State().lock);
    State().registrations.push_back(handle);
    return 0;
}

int WSACleanup() {
    substitute::LogCall("WSACleanup");
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("WSACleanup", &error)) {
        WSASetLastError(static_cast<int>(error));
        return SOCKET_ERROR;
    }
    HANDLE handle = nullptr;
    std::set<SOCKET> orphans;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (State().registrations.empty()) {
            WSASetLastError(WSANOTINITIALISED);
            return SOCKET_ERROR;
        }
        handle = State().registrations.back();
        State().registrations.pop_back();
        // The last registration takes every socket still open with it, as on Windows.
        if (State().registrations.empty()) {
            orphans.swap(State().sockets);
        }
    }
    substitute::RemoveHandle(handle);
    for (SOCKET s : orphans) {
        substitute::RemoveHandle(reinterpret_cast<HANDLE>(s));
    }
    return 0;
}

SOCKET socket(int family, int type, int protocol) {
    substitute::LogCall("socket", family == AF_INET6 ? "AF_INET6" : "");
    if (RefusedCall("socket")) {
        return INVALID_SOCKET;
    }
    if (family != AF_INET && family != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (type != SOCK_STREAM || (protocol != 0 && protocol != 6)) {
        WSASetLastError(type != SOCK_STREAM ? WSAESOCKTNOSUPPORT : WSAEPROTONOSUPPORT);
        return INVALID_SOCKET;
    }
    int error = 0;
    int descriptor = bsd::OpenStreamSocket(family == AF_INET6, &error);
    if (descriptor < 0) {
        WSASetLastError(WsaErrorFromErrno(error));
        return INVALID_SOCKET;
    }
    auto object = std::make_shared<SocketObject>();
    object->descriptor = descriptor;
    object->ipv6 = family == AF_INET6;
    object->label = object->ipv6 ? "socket:stream6" : "socket:stream";
    SOCKET s = reinterpret_cast<SOCKET>(substitute::AddHandle(object));
    std::lock_guard<std::mutex> guard(State().lock);
    State().sockets.insert(s);
    return s;
}

int bind(SOCKET s, const sockaddr* address, int length) {
    bool fits = AddressFits(address, length);
    substitute::LogCall("bind", fits ? PortText(EndpointOf(address)) : std::string("?"));
    if (RefusedCall("bind")) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = SocketForAddress(s, address, length);
    if (object == nullptr) {
        return SOCKET_ERROR;
    }
    bsd::Endpoint local = EndpointOf(address);
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (State().bindRedirected && ntohs(local.port) == State().bindFrom) {
            local.port = htons(State().bindTo);
        }
    }
    int error = 0;
    if (!bsd::Bind(object->descriptor, local, &error)) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    return 0;
}

int connect(SOCKET s, const sockaddr* address, int length) {
    bool fits = AddressFits(address, length);
    substitute::LogCall("connect", fits ? EndpointText(EndpointOf(address)) : std::string("?"));
    if (RefusedCall("connect")) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = SocketForAddress(s, address, length);
    if (object == nullptr) {
        return SOCKET_ERROR;
    }
    bsd::Endpoint remote = EndpointOf(address);
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (State().connectRedirect != 0 && !remote.ipv6) {
            std::uint32_t loopback = htonl(0x7F000001u);
            std::memcpy(remote.address.data(), &loopback, 4);
            remote.port = htons(State().connectRedirect);
        }
    }
    int error = 0;
    bool made = bsd::Connect(object->descriptor, remote, &error);
    if (object->nonBlocking) {
        // Windows never completes a non-blocking connect at once: the outcome, even a
        // refusal, is for select and SO_ERROR to tell.
        bool later = made || error == EINPROGRESS || error == ECONNREFUSED || error == ETIMEDOUT ||
                     error == ENETUNREACH || error == EHOSTUNREACH;
        if (!later) {
            WSASetLastError(WsaErrorFromErrno(error));
            return SOCKET_ERROR;
        }
        object->connecting = true;
        object->pendingError = made || error == EINPROGRESS ? 0 : WsaErrorFromErrno(error);
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    if (!made) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    object->connected = true;
    return 0;
}

int send(SOCKET s, const char* buffer, int length, int /*flags*/) {
    substitute::LogCall("send", std::to_string(length));
    if (RefusedCall("send")) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = FindSocket(s);
    if (object == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    if (length < 0 || (buffer == nullptr && length > 0)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::size_t accepted = static_cast<std::size_t>(length);
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (State().sendLimit > 0 && accepted > static_cast<std::size_t>(State().sendLimit)) {
            accepted = static_cast<std::size_t>(State().sendLimit);
        }
    }
    int error = 0;
    long sent = bsd::Send(object->descriptor, buffer, accepted, &error);
    if (sent < 0) {
        // The system says "broken pipe" for a socket that never connected, too.
        WSASetLastError(object->connected ? WsaErrorFromErrno(error) : WSAENOTCONN);
        return SOCKET_ERROR;
    }
    return static_cast<int>(sent);
}

int recv(SOCKET s, char* buffer, int length, int /*flags*/) {
    substitute::LogCall("recv", std::to_string(length));
    if (RefusedCall("recv")) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = FindSocket(s);
    if (object == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    if (length < 0 || (buffer == nullptr && length > 0)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    if (!object->connected) {
        WSASetLastError(WSAENOTCONN);
        return SOCKET_ERROR;
    }
    bool timesOut = false;
    DWORD waited = 0;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (State().recvTimeOutSkip > 0) {
            --State().recvTimeOutSkip;
        } else if (State().recvTimeOuts > 0) {
            --State().recvTimeOuts;
            timesOut = object->receiveTimeout != 0;
        }
        waited = State().recvWait;
    }
    if (timesOut) {
        substitute::AdvanceVirtualClock(object->receiveTimeout);
        WSASetLastError(WSAETIMEDOUT);
        return SOCKET_ERROR;
    }
    int error = 0;
    long got = bsd::Receive(object->descriptor, buffer, static_cast<std::size_t>(length), &error);
    if (got < 0 && error == EAGAIN && object->receiveTimeout != 0) {
        substitute::AdvanceVirtualClock(object->receiveTimeout);
        WSASetLastError(WSAETIMEDOUT);
        return SOCKET_ERROR;
    }
    if (got < 0) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    substitute::AdvanceVirtualClock(waited);
    return static_cast<int>(got);
}

int shutdown(SOCKET s, int how) {
    substitute::LogCall("shutdown", std::to_string(how));
    if (RefusedCall("shutdown")) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = FindSocket(s);
    if (object == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    if (how < SD_RECEIVE || how > SD_BOTH) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (!object->connected) {
        WSASetLastError(WSAENOTCONN);
        return SOCKET_ERROR;
    }
    int error = 0;
    if (!bsd::Shutdown(object->descriptor, how, &error)) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    return 0;
}

int setsockopt(SOCKET s, int level, int option, const char* value, int length) {
    substitute::LogCall("setsockopt", std::to_string(level) + " " + std::to_string(option));
    if (RefusedCall("setsockopt")) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = FindSocket(s);
    if (object == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    if (level != SOL_SOCKET || option != SO_RCVTIMEO) {
        WSASetLastError(level != SOL_SOCKET ? WSAEINVAL : WSAENOPROTOOPT);
        return SOCKET_ERROR;
    }
    if (value == nullptr || length < static_cast<int>(sizeof(DWORD))) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    DWORD milliseconds = 0;
    std::memcpy(&milliseconds, value, sizeof milliseconds);
    int error = 0;
    if (!bsd::SetReceiveTimeout(object->descriptor, milliseconds, &error)) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    object->receiveTimeout = milliseconds;
    return 0;
}

int getsockopt(SOCKET s, int level, int option, char* value, int* length) {
    substitute::LogCall("getsockopt", std::to_string(level) + " " + std::to_string(option));
    if (RefusedCall("getsockopt")) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = FindSocket(s);
    if (object == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    if (level != SOL_SOCKET || option != SO_ERROR) {
        WSASetLastError(level != SOL_SOCKET ? WSAEINVAL : WSAENOPROTOOPT);
        return SOCKET_ERROR;
    }
    if (value == nullptr || length == nullptr || *length < static_cast<int>(sizeof(int))) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int status = object->pendingError;
    object->pendingError = 0;
    if (status == 0) {
        int error = 0;
        int pending = 0;
        if (!bsd::PendingError(object->descriptor, &pending, &error)) {
            WSASetLastError(WsaErrorFromErrno(error));
            return SOCKET_ERROR;
        }
        status = pending == 0 ? 0 : WsaErrorFromErrno(pending);
    }
    std::memcpy(value, &status, sizeof status);
    *length = sizeof status;
    return 0;
}

int ioctlsocket(SOCKET s, long command, u_long* argument) {
    substitute::LogCall("ioctlsocket",
                        argument == nullptr ? std::string("?") : std::to_string(*argument));
    if (RefusedCall("ioctlsocket")) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = FindSocket(s);
    if (object == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    if (command != FIONBIO) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (argument == nullptr) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int error = 0;
    if (!bsd::SetNonBlocking(object->descriptor, *argument != 0, &error)) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    object->nonBlocking = *argument != 0;
    return 0;
}

namespace {

// getsockname and getpeername: the socket's own end or the other one, in its family.
int SocketName(const char* call, SOCKET s, sockaddr* address, int* length, bool peer) {
    substitute::LogCall(call);
    if (RefusedCall(call)) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<SocketObject> object = FindSocket(s);
    if (object == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    int needed = static_cast<int>(object->ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    if (address == nullptr || length == nullptr || *length < needed) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    bool own = !peer;
    if (peer) {
        std::lock_guard<std::mutex> guard(State().lock);
        own = State().peerIsSelf;
    }
    if (peer && !object->connected) {
        WSASetLastError(WSAENOTCONN);
        return SOCKET_ERROR;
    }
    bsd::Endpoint endpoint;
    int error = 0;
    if (!bsd::NameOf(object->descriptor, !own, &endpoint, &error)) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    sockaddr_storage name;
    int nameLength = WriteWinsockAddress(endpoint, &name);
    std::memcpy(address, &name, static_cast<std::size_t>(nameLength));
    *length = nameLength;
    return 0;
}

} // namespace

int getsockname(SOCKET s, sockaddr* address, int* length) {
    return SocketName("getsockname", s, address, length, false);
}

int getpeername(SOCKET s, sockaddr* address, int* length) {
    return SocketName("getpeername", s, address, length, true);
}

namespace {

// Under the virtual clock, the longest real wait of a select (milliseconds).
constexpr int kVirtualClockRealWait = 1000;

} // namespace

void WinsockFdSetAdd(SOCKET s, fd_set* set) {
    for (unsigned int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) {
            return;
        }
    }
    if (set->fd_count < FD_SETSIZE) {
        set->fd_array[set->fd_count++] = s;
    }
}

int WinsockFdIsSet(SOCKET s, fd_set* set) {
    for (unsigned int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) {
            return 1;
        }
    }
    return 0;
}

int select(int /*count*/, fd_set* readable, fd_set* writable, fd_set* failed,
           const timeval* timeout) {
    substitute::LogCall("select", timeout == nullptr ? std::string("no limit")
                                                     : std::to_string(timeout->tv_sec * 1000 +
                                                                      timeout->tv_usec / 1000));
    if (RefusedCall("select")) {
        return SOCKET_ERROR;
    }
    // Each socket once, with every event it is asked for; the objects are held meanwhile.
    std::vector<SOCKET> sockets;
    std::vector<int> descriptors;
    std::vector<int> events;
    std::vector<std::shared_ptr<SocketObject>> held;
    fd_set* sets[] = {readable, writable, failed};
    const int kinds[] = {bsd::kReadyToRead, bsd::kReadyToWrite, bsd::kExceptional};
    for (int k = 0; k < 3; ++k) {
        if (sets[k] == nullptr) {
            continue;
        }
        for (unsigned int i = 0; i < sets[k]->fd_count && i < FD_SETSIZE; ++i) {
            SOCKET s = sets[k]->fd_array[i];
            auto known = std::find(sockets.begin(), sockets.end(), s);
            if (known != sockets.end()) {
                events[static_cast<std::size_t>(known - sockets.begin())] |= kinds[k];
                continue;
            }
            std::shared_ptr<SocketObject> object = FindSocket(s);
            if (object == nullptr) {
                WSASetLastError(WSAENOTSOCK);
                return SOCKET_ERROR;
            }
            sockets.push_back(s);
            descriptors.push_back(object->descriptor);
            events.push_back(kinds[k]);
            held.push_back(object);
        }
    }
    if (sockets.empty()) {
        // Windows refuses a select without any socket.
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    int milliseconds = -1;
    if (timeout != nullptr) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0) {
            WSASetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        long long total = static_cast<long long>(timeout->tv_sec) * 1000 +
                          static_cast<long long>(timeout->tv_usec) / 1000;
        milliseconds = total > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(total);
    }
    bool timesOut = false;
    DWORD waited = 0;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (State().selectTimeOutSkip > 0) {
            --State().selectTimeOutSkip;
        } else if (State().selectTimeOuts > 0) {
            --State().selectTimeOuts;
            timesOut = timeout != nullptr;
        }
        waited = State().selectWait;
    }
    if (timeout != nullptr && waited != 0 && waited >= static_cast<DWORD>(milliseconds)) {
        timesOut = true;
    }
    // A connect that already failed is ready at once. Under the virtual clock a wait that
    // finds nothing ready is taken to have run its whole course after a short real look, so
    // that tests do not really wait.
    bool failedConnect = false;
    for (const std::shared_ptr<SocketObject>& object : held) {
        failedConnect = failedConnect || (object->connecting && object->pendingError != 0);
    }
    int realWait = failedConnect ? 0 : milliseconds;
    DWORD virtualNow = 0;
    if (substitute::VirtualTickCount(&virtualNow) && realWait > kVirtualClockRealWait) {
        realWait = kVirtualClockRealWait;
    }
    int error = 0;
    if (timesOut) {
        std::fill(events.begin(), events.end(), 0);
    } else if (bsd::WaitReady(descriptors.data(), events.data(), descriptors.size(), realWait,
                              &error) < 0) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    // A connect in progress, as Windows reports it: among the exceptions once it has failed,
    // among the writable sockets once it is made, nowhere before.
    for (std::size_t at = 0; at < held.size(); ++at) {
        SocketObject& object = *held[at];
        if (!object.connecting) {
            continue;
        }
        if (object.pendingError == 0 && events[at] != 0) {
            int status = 0;
            if (bsd::PendingError(object.descriptor, &status, &error) && status != 0) {
                object.pendingError = WsaErrorFromErrno(status);
            } else {
                object.connecting = false;
                object.connected = true;
            }
        }
        if (object.pendingError != 0) {
            events[at] = bsd::kExceptional;
        } else if (object.connecting) {
            events[at] = 0;
        } else {
            events[at] &= bsd::kReadyToWrite;
        }
    }
    int total = 0;
    for (int k = 0; k < 3; ++k) {
        if (sets[k] == nullptr) {
            continue;
        }
        fd_set kept{};
        for (unsigned int i = 0; i < sets[k]->fd_count && i < FD_SETSIZE; ++i) {
            SOCKET s = sets[k]->fd_array[i];
            auto at = static_cast<std::size_t>(std::find(sockets.begin(), sockets.end(), s) -
                                               sockets.begin());
            if ((events[at] & kinds[k]) != 0) {
                kept.fd_array[kept.fd_count++] = s;
            }
        }
        *sets[k] = kept;
        total += static_cast<int>(kept.fd_count);
    }
    substitute::AdvanceVirtualClock(total == 0 ? static_cast<DWORD>(milliseconds) : waited);
    return total;
}

int closesocket(SOCKET s) {
    substitute::LogCall("closesocket");
    if (RefusedCall("closesocket")) {
        return SOCKET_ERROR;
    }
    if (FindSocket(s) == nullptr) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    {
        std::lock_guard<std::mutex> guard(State().lock);
        State().sockets.erase(s);
    }
    substitute::RemoveHandle(reinterpret_cast<HANDLE>(s));
    return 0;
}

namespace {

int WinsockResolveError(bsd::ResolveFailure failure, int systemError) {
    switch (failure) {
    case bsd::ResolveFailure::None:
        return 0;
    case bsd::ResolveFailure::NoName:
        return WSAHOST_NOT_FOUND;
    case bsd::ResolveFailure::TryAgain:
        return WSATRY_AGAIN;
    case bsd::ResolveFailure::NoData:
        return WSANO_DATA;
    case bsd::ResolveFailure::Family:
        return WSAEAFNOSUPPORT;
    case bsd::ResolveFailure::SocketType:
        return WSAESOCKTNOSUPPORT;
    case bsd::ResolveFailure::Service:
        return WSATYPE_NOT_FOUND;
    case bsd::ResolveFailure::Memory:
        return WSA_NOT_ENOUGH_MEMORY;
    case bsd::ResolveFailure::BadFlags:
        return WSAEINVAL;
    case bsd::ResolveFailure::System:
        return WsaErrorFromErrno(systemError);
    case bsd::ResolveFailure::Fail:
        break;
    }
    return WSANO_RECOVERY;
}

} // namespace

// Stream sockets only, as the program asks; the flags are not looked at.
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    substitute::LogCall("getaddrinfo", std::string(node == nullptr ? "(null)" : node) + " " +
                                           (service == nullptr ? "(null)" : service));
    if (result == nullptr) {
        WSASetLastError(WSAEINVAL);
        return WSAEINVAL;
    }
    *result = nullptr;
    if (RefusedCall("getaddrinfo")) {
        return WSAGetLastError();
    }
    int family = hints == nullptr ? AF_UNSPEC : hints->ai_family;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return WSAEAFNOSUPPORT;
    }
    if (hints != nullptr && hints->ai_socktype != 0 && hints->ai_socktype != SOCK_STREAM) {
        WSASetLastError(WSAESOCKTNOSUPPORT);
        return WSAESOCKTNOSUPPORT;
    }
    std::vector<bsd::Endpoint> found;
    int systemError = 0;
    bsd::ResolveFailure failure = bsd::Resolve(node, service,
                                               family == AF_INET    ? 4
                                               : family == AF_INET6 ? 6
                                                                    : 0,
                                               &found, &systemError);
    if (failure != bsd::ResolveFailure::None) {
        int error = WinsockResolveError(failure, systemError);
        WSASetLastError(error);
        return error;
    }
    auto list = std::make_shared<AddressList>();
    list->label = std::string("addrinfo:") + (node == nullptr ? "" : node);
    list->entries.resize(found.size());
    list->addresses.resize(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        addrinfo& entry = list->entries[i];
        std::memset(&entry, 0, sizeof entry);
        entry.ai_family = found[i].ipv6 ? AF_INET6 : AF_INET;
        entry.ai_socktype = SOCK_STREAM;
        entry.ai_protocol = IPPROTO_TCP;
        entry.ai_addrlen =
            static_cast<std::size_t>(WriteWinsockAddress(found[i], &list->addresses[i]));
        entry.ai_addr = reinterpret_cast<sockaddr*>(&list->addresses[i]);
        entry.ai_next = i + 1 < found.size() ? &list->entries[i + 1] : nullptr;
    }
    *result = list->entries.data();
    HANDLE handle = substitute::AddHandle(list);
    std::lock_guard<std::mutex> guard(State().lock);
    State().addressLists[*result] = handle;
    return 0;
}

void freeaddrinfo(addrinfo* list) {
    substitute::LogCall("freeaddrinfo");
    if (list == nullptr) {
        return;
    }
    HANDLE handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        auto found = State().addressLists.find(list);
        if (found == State().addressLists.end()) {
            return; // not a list of getaddrinfo's head: Windows would fault
        }
        handle = found->second;
        State().addressLists.erase(found);
    }
    substitute::RemoveHandle(handle);
}

namespace {

void ResetWinsock() {
    bsd::StopListener();
    std::vector<HANDLE> registrations;
    std::set<SOCKET> sockets;
    std::map<const addrinfo*, HANDLE> addressLists;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        registrations.swap(State().registrations);
        sockets.swap(State().sockets);
        addressLists.swap(State().addressLists);
        State().sendLimit = 0;
        State().connectRedirect = 0;
        State().bindRedirected = false;
        State().recvTimeOuts = 0;
        State().recvTimeOutSkip = 0;
        State().recvWait = 0;
        State().peerIsSelf = false;
        State().selectTimeOuts = 0;
        State().selectTimeOutSkip = 0;
        State().selectWait = 0;
    }
    bsd::SetPeerBehaviour(bsd::PeerBehaviour{});
    for (HANDLE handle : registrations) {
        substitute::RemoveHandle(handle);
    }
    for (SOCKET s : sockets) {
        substitute::RemoveHandle(reinterpret_cast<HANDLE>(s));
    }
    for (const auto& list : addressLists) {
        substitute::RemoveHandle(list.second);
    }
}

const bool kResetHookAdded = (substitute::AddResetHook(ResetWinsock), true);

} // namespace

namespace substitute {

void LimitSendBytes(int bytes) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().sendLimit = bytes < 0 ? 0 : bytes;
}

void RedirectConnections(unsigned short loopbackPort) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().connectRedirect = loopbackPort;
}

void RedirectBindPort(unsigned short from, unsigned short to) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().bindRedirected = true;
    State().bindFrom = from;
    State().bindTo = to;
}

void TimeOutRecv(int times, int skip) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().recvTimeOuts = times;
    State().recvTimeOutSkip = skip;
}

void WaitInRecv(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().recvWait = milliseconds;
}

void TimeOutSelect(int times, int skip) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().selectTimeOuts = times;
    State().selectTimeOutSkip = skip;
}

void WaitInSelect(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().selectWait = milliseconds;
}

void ReportOwnNameAsPeer(bool on) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().peerIsSelf = on;
}

void SetLoopbackPeer(const std::string& greeting, LoopbackPeerEnd end) {
    bsd::PeerBehaviour behaviour;
    behaviour.greeting = greeting;
    behaviour.end = end == LoopbackPeerEnd::Reset      ? bsd::PeerEnd::Reset
                    : end == LoopbackPeerEnd::StayOpen ? bsd::PeerEnd::StayOpen
                                                       : bsd::PeerEnd::Close;
    bsd::SetPeerBehaviour(behaviour);
}

unsigned short FreeLocalPort() {
    return bsd::FreeLocalPort();
}

unsigned short StartLoopbackListener() {
    return bsd::StartListener();
}

unsigned short StartLoopbackListener6() {
    return bsd::StartListener(true);
}

void StopLoopbackListener() {
    bsd::StopListener();
}

void AnswerHostStatus(const std::string& answer) {
    bsd::AnswerHostStatus(true, answer);
}

void AnswerErrorReport(const std::string& answer) {
    bsd::AnswerErrorReport(true, answer);
}

std::vector<ReceivedConnection> ReceivedConnections() {
    std::vector<ReceivedConnection> result;
    for (bsd::Delivery& delivery : bsd::Deliveries()) {
        result.push_back({std::move(delivery.bytes), delivery.peerPort});
    }
    return result;
}

bool WaitForReceivedConnections(std::size_t count, std::chrono::milliseconds timeout) {
    return bsd::WaitForDeliveries(count, timeout);
}

} // namespace substitute
