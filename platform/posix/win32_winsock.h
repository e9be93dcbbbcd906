// Win32 declarations, Winsock: the Windows Sockets 1.1 subset, with name resolution and IPv6
// addresses (getaddrinfo, sockaddr_in6) as <ws2tcpip.h> gives them.
// Its implementation never shares a translation unit with the system socket headers,
// whose names (sockaddr, socket, bind ...) it reuses.
#pragma once

#include "platform/posix/win32_types.h"

// The C library's own fd_set, FD_* macros, select and timeval come along with <cstdlib>.
// timeval is the same record; the set and its macros are replaced by Winsock's here.
#include <sys/select.h>
// u_long is the C library's own (sys/types.h), as wide as ULONG or wider.
#include <sys/types.h>

using SOCKET = UINT_PTR;
#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<SOCKET>(0)))
#define SOCKET_ERROR (-1)
#define AF_UNSPEC 0
#define AF_INET 2
#define AF_INET6 23
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define INADDR_ANY 0x00000000u
#define INADDR_NONE 0xffffffffu
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
#define SOL_SOCKET 0xffff
#define SO_RCVTIMEO 0x1006
#define SO_ERROR 0x1007
// Windows' _IOW('f', 126, u_long), as the 32-bit long it is there.
#define FIONBIO (-2147195266L)

#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSATYPE_NOT_FOUND 10109
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004
#define WSA_NOT_ENOUGH_MEMORY 8

// getaddrinfo's answers are Winsock codes.
#define EAI_AGAIN WSATRY_AGAIN
#define EAI_BADFLAGS WSAEINVAL
#define EAI_FAIL WSANO_RECOVERY
#define EAI_FAMILY WSAEAFNOSUPPORT
#define EAI_MEMORY WSA_NOT_ENOUGH_MEMORY
#define EAI_NONAME WSAHOST_NOT_FOUND
#define EAI_SERVICE WSATYPE_NOT_FOUND
#define EAI_SOCKTYPE WSAESOCKTNOSUPPORT
#define AI_PASSIVE 0x1
#define AI_CANONNAME 0x2
#define AI_NUMERICHOST 0x4

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

struct in_addr {
    std::uint32_t s_addr;
};
struct sockaddr {
    unsigned short sa_family;
    char sa_data[14];
};
struct sockaddr_in {
    short sin_family;
    unsigned short sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
struct in6_addr {
    unsigned char s6_addr[16];
};
struct sockaddr_in6 {
    short sin6_family;
    unsigned short sin6_port;
    ULONG sin6_flowinfo;
    in6_addr sin6_addr;
    ULONG sin6_scope_id;
};
// Room for an address of any family.
struct sockaddr_storage {
    short ss_family;
    char ss_pad1[6];
    long long ss_align;
    char ss_pad2[112];
};
struct addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    std::size_t ai_addrlen;
    char* ai_canonname;
    sockaddr* ai_addr;
    addrinfo* ai_next;
};

// A Winsock socket set: a count and the sockets, not a bit mask of descriptors.
#undef FD_SETSIZE
#undef FD_ZERO
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#define FD_SETSIZE 64
struct WinsockFdSet {
    unsigned int fd_count;
    SOCKET fd_array[FD_SETSIZE];
};
#define fd_set WinsockFdSet
void WinsockFdSetAdd(SOCKET s, fd_set* set);
int WinsockFdIsSet(SOCKET s, fd_set* set);
#define FD_ZERO(set) (static_cast<void>((set)->fd_count = 0))
#define FD_SET(s, set) WinsockFdSetAdd((s), (set))
#define FD_ISSET(s, set) WinsockFdIsSet((s), (set))

int WSAStartup(WORD version, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
// AF_INET or AF_INET6 stream sockets.
SOCKET socket(int family, int type, int protocol);
int bind(SOCKET s, const sockaddr* address, int length);
int connect(SOCKET s, const sockaddr* address, int length);
int send(SOCKET s, const char* buffer, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
int shutdown(SOCKET s, int how);
// SO_RCVTIMEO only: a DWORD of milliseconds (0: none), after which a blocking recv fails
// with WSAETIMEDOUT.
int setsockopt(SOCKET s, int level, int option, const char* value, int length);
// SO_ERROR only: the pending error of the socket as an int, cleared by the read.
int getsockopt(SOCKET s, int level, int option, char* value, int* length);
// FIONBIO only: nonzero *argument makes connect, send and recv return WSAEWOULDBLOCK
// instead of waiting; a connect then always completes later, as Windows reports it.
int ioctlsocket(SOCKET s, long command, u_long* argument);
int getsockname(SOCKET s, sockaddr* address, int* length);
int getpeername(SOCKET s, sockaddr* address, int* length);
// The first argument is ignored, as on Windows; a null time-out waits without limit.
int select(int count, fd_set* readable, fd_set* writable, fd_set* failed, const timeval* timeout);
int closesocket(SOCKET s);
unsigned short htons(unsigned short value);
std::uint32_t htonl(std::uint32_t value);
unsigned short ntohs(unsigned short value);
std::uint32_t ntohl(std::uint32_t value);
std::uint32_t inet_addr(const char* text);
// Resolves a host name or an address literal and a port number through the system's
// resolver; 0 or a Winsock code (WSAHOST_NOT_FOUND ...), which is also the last error.
// The list is freed with freeaddrinfo.
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
void freeaddrinfo(addrinfo* list);
