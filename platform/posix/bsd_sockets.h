// Internal to the substitute layer: BSD socket calls behind plain functions, for the Winsock
// substitute, whose declarations reuse the BSD names (sockaddr, socket, bind ...) and so cannot see
// the system headers. Addresses and ports are passed in network byte order; failures return the
// errno value.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bsd {

// An address of either family with its port, both in network byte order; an IPv4 address
// takes the first four bytes.
struct Endpoint {
    bool ipv6 = false;
    std::array<unsigned char, 16> address{};
    std::uint16_t port = 0;
    std::uint32_t flowInfo = 0;
    std::uint32_t scope = 0;
};
// "1.2.3.4" or "::1" (no port).
std::string AddressText(const Endpoint& endpoint);

// Why a name could not be resolved, as the resolver says it.
enum class ResolveFailure {
    None,
    NoName,
    TryAgain,
    Fail,
    NoData,
    Family,
    SocketType,
    Service,
    Memory,
    BadFlags,
    System, // *error holds errno
};
// The addresses of a host name or literal and a numeric or named service, for stream sockets
// of `family` (0: any, 4, 6), in the resolver's order.
ResolveFailure Resolve(const char* node, const char* service, int family,
                       std::vector<Endpoint>* found, int* error);

// A TCP stream socket of either family, or -1 with *error set.
int OpenStreamSocket(bool ipv6, int* error);
bool Bind(int socket, const Endpoint& local, int* error);
// Blocking, no time-out; a connect interrupted by a signal is waited for to its end.
bool Connect(int socket, const Endpoint& remote, int* error);
// The socket's own end, or its peer's.
bool NameOf(int socket, bool peer, Endpoint* name, int* error);
// Bytes accepted, or -1 with *error set. A peer that has gone gives an error, never SIGPIPE.
long Send(int socket, const char* data, std::size_t length, int* error);
// Bytes read, 0 at the end of the stream, or -1 with *error set.
long Receive(int socket, char* data, std::size_t length, int* error);
// how: 0 receiving, 1 sending, 2 both (the values of SHUT_RD, SHUT_WR, SHUT_RDWR).
bool Shutdown(int socket, int how, int* error);
// A receive that waits longer than this (milliseconds, 0: for ever) fails with EAGAIN.
bool SetReceiveTimeout(int socket, unsigned long milliseconds, int* error);
// While on, connect fails with EINPROGRESS, send and recv with EAGAIN, instead of waiting.
bool SetNonBlocking(int socket, bool on, int* error);
// The socket's pending error (0: none), cleared by the read.
bool PendingError(int socket, int* status, int* error);
// Waits at most `milliseconds` (-1: no limit) until one of `count` sockets is ready for what
// events[i] asks (kReadyToRead, kReadyToWrite, kExceptional bits); events[i] is replaced by what
// it is ready for. The count of ready sockets, or -1 with *error set.
constexpr int kReadyToRead = 1;
constexpr int kReadyToWrite = 2;
constexpr int kExceptional = 4;
int WaitReady(const int* sockets, int* events, std::size_t count, int milliseconds, int* error);
void Close(int socket);

// Test support: a free local port, and the loopback listener of the winsock test hooks.
// Ports in host byte order.
std::uint16_t FreeLocalPort();
struct Delivery {
    std::string bytes;
    std::uint16_t peerPort;
};
// How the listener's peer behaves on each connection: what it sends as soon as it has
// accepted, and how it ends once the sender has ended its side: by closing, by a reset, or
// not at all until the listener stops.
enum class PeerEnd { Close, Reset, StayOpen };
struct PeerBehaviour {
    std::string greeting;
    PeerEnd end = PeerEnd::Close;
};
void SetPeerBehaviour(const PeerBehaviour& behaviour);
// On 127.0.0.1, or on ::1 (0 when this host has no IPv6 loopback).
std::uint16_t StartListener(bool ipv6 = false);
void StopListener();
// While answering, each "~HS" that arrives is answered with `answer` (possibly partial).
void AnswerHostStatus(bool answering, const std::string& answer);
// The same for each "~HQES", in the order the two kinds of query arrive.
void AnswerErrorReport(bool answering, const std::string& answer);
std::vector<Delivery> Deliveries();
bool WaitForDeliveries(std::size_t count, std::chrono::milliseconds timeout);

} // namespace bsd
