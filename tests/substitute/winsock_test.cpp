// The Winsock substitute: registrations, byte order, inet_addr, scripted and real failures,
// short sends and delivery to the loopback listener; getaddrinfo and IPv6 sockets.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class WinsockTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override {
        EXPECT_TRUE(substitute::JoinThreads());
        substitute::Reset();
    }
};

sockaddr_in Address(const char* text, unsigned short port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(text);
    return address;
}

const sockaddr* AsSockaddr(const sockaddr_in& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}

TEST_F(WinsockTest, ByteOrderIsBigEndianInMemory) {
    unsigned short port = htons(0x1234);
    std::uint32_t address = htonl(0x0A0B0C0Du);
    const auto* portBytes = reinterpret_cast<const unsigned char*>(&port);
    const auto* addressBytes = reinterpret_cast<const unsigned char*>(&address);
    EXPECT_EQ(portBytes[0], 0x12);
    EXPECT_EQ(portBytes[1], 0x34);
    EXPECT_EQ(addressBytes[0], 0x0A);
    EXPECT_EQ(addressBytes[3], 0x0D);
    EXPECT_EQ(ntohs(port), 0x1234);
    EXPECT_EQ(ntohl(address), 0x0A0B0C0Du);
}

TEST_F(WinsockTest, InetAddrReadsWhatWindowsReads) {
    struct Case {
        const char* text;
        std::uint32_t hostOrder;
    };
    const Case cases[] = {
        {"192.168.1.50", 0xC0A80132u},
        {"127.0.0.1", 0x7F000001u},
        {"0.0.0.0", 0x00000000u},
        {"10.1.258", 0x0A010102u},   // last part fills 16 bits
        {"10.65536", 0x0A010000u},   // last part fills 24 bits
        {"3232235826", 0xC0A80132u}, // one part: all 32 bits
        {"0x7f.1", 0x7F000001u},     // hexadecimal part
        {"010.0.0.1", 0x08000001u},  // octal part
        {"192.168.1.50 trailing", 0xC0A80132u},
        {"", INADDR_NONE},
        {" 1.2.3.4", INADDR_NONE},
        {"1.2.3.4x", INADDR_NONE},
        {"1.2.3.4.5", INADDR_NONE},
        {"1.2.3.", INADDR_NONE},
        {"1..3.4", INADDR_NONE},
        {"256.1.1.1", INADDR_NONE},
        {"1.2.3.256", INADDR_NONE},
        {"1.2.65536", INADDR_NONE},
        {"08.1.1.1", INADDR_NONE}, // 8 is no octal digit
        {"4294967296", INADDR_NONE},
        {"printer.local", INADDR_NONE},
        {"255.255.255.255", 0xFFFFFFFFu}, // the same value as INADDR_NONE, as on Windows
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ntohl(inet_addr(c.text)), c.hostOrder) << "text \"" << c.text << "\"";
    }
    EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
}

TEST_F(WinsockTest, CallsWithoutRegistrationFailWithNotInitialised) {
    sockaddr_in address = Address("127.0.0.1", 9100);
    char byte = 'x';
    struct Call {
        const char* name;
        int (*run)(const sockaddr_in&, char*);
    };
    const Call calls[] = {
        {"socket",
         [](const sockaddr_in&, char*) {
             return socket(AF_INET, SOCK_STREAM, 0) == INVALID_SOCKET ? SOCKET_ERROR : 0;
         }},
        {"bind", [](const sockaddr_in& a, char*) { return bind(0x1000, AsSockaddr(a), 16); }},
        {"connect", [](const sockaddr_in& a, char*) { return connect(0x1000, AsSockaddr(a), 16); }},
        {"send", [](const sockaddr_in&, char* b) { return send(0x1000, b, 1, 0); }},
        {"closesocket", [](const sockaddr_in&, char*) { return closesocket(0x1000); }},
        {"WSACleanup", [](const sockaddr_in&, char*) { return WSACleanup(); }},
    };
    for (const Call& call : calls) {
        WSASetLastError(static_cast<int>(0xdeadbeef));
        EXPECT_EQ(call.run(address, &byte), SOCKET_ERROR) << call.name;
        EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED) << call.name;
    }
}

TEST_F(WinsockTest, RegistrationsAreCountedAndTheLastTakesItsSockets) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    EXPECT_EQ(substitute::OpenHandles(),
              (std::vector<std::string>{"winsock:registration", "winsock:registration"}));

    EXPECT_EQ(WSACleanup(), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    EXPECT_EQ(substitute::OpenHandles(),
              (std::vector<std::string>{"winsock:registration", "socket:stream"}));

    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_TRUE(substitute::OpenHandles().empty());
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST_F(WinsockTest, VersionZeroIsNotSupported) {
    WSADATA data;
    EXPECT_EQ(WSAStartup(0x0000, &data), WSAVERNOTSUPPORTED);
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(WinsockTest, EveryCallHonoursItsScriptedFailure) {
    WSADATA data;
    substitute::FailNext("WSAStartup", WSASYSNOTREADY);
    EXPECT_EQ(WSAStartup(0x0101, &data), WSASYSNOTREADY);
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);

    substitute::FailNext("socket", WSAEMFILE);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEMFILE);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);

    sockaddr_in address = Address("127.0.0.1", 9);
    struct Case {
        const char* call;
        int error;
    };
    const Case cases[] = {{"bind", WSAEADDRINUSE},      {"connect", WSAECONNREFUSED},
                          {"send", WSAECONNRESET},      {"recv", WSAECONNABORTED},
                          {"shutdown", WSAENOTCONN},    {"setsockopt", WSAENOBUFS},
                          {"getsockname", WSAENETDOWN}, {"getpeername", WSAENOTCONN},
                          {"closesocket", WSAENETDOWN}, {"WSACleanup", WSAEINPROGRESS}};
    for (const Case& c : cases) {
        substitute::FailNext(c.call, static_cast<DWORD>(c.error));
        WSASetLastError(0);
        int result = 0;
        std::string call = c.call;
        if (call == "bind") {
            result = bind(s, AsSockaddr(address), sizeof address);
        } else if (call == "connect") {
            result = connect(s, AsSockaddr(address), sizeof address);
        } else if (call == "send") {
            result = send(s, "x", 1, 0);
        } else if (call == "recv") {
            char byte = 0;
            result = recv(s, &byte, 1, 0);
        } else if (call == "shutdown") {
            result = shutdown(s, SD_SEND);
        } else if (call == "setsockopt") {
            DWORD timeout = 100;
            result = setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                                sizeof timeout);
        } else if (call == "getsockname" || call == "getpeername") {
            sockaddr_in name{};
            int length = sizeof name;
            auto* out = reinterpret_cast<sockaddr*>(&name);
            result =
                call == "getsockname" ? getsockname(s, out, &length) : getpeername(s, out, &length);
        } else if (call == "closesocket") {
            result = closesocket(s);
        } else {
            result = WSACleanup();
        }
        EXPECT_EQ(result, SOCKET_ERROR) << c.call;
        EXPECT_EQ(WSAGetLastError(), c.error) << c.call;
    }
    // The scripted failures released nothing.
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(WinsockTest, UnknownSocketIsNotASocket) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    sockaddr_in address = Address("127.0.0.1", 9);
    EXPECT_EQ(closesocket(0x4242), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(connect(0x4242, AsSockaddr(address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(send(0x4242, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    WSACleanup();
}

TEST_F(WinsockTest, DeliversToTheListenerThroughARedirectedConnect) {
    unsigned short listener = substitute::StartLoopbackListener();
    ASSERT_NE(listener, 0);
    unsigned short localPort = substitute::FreeLocalPort();
    ASSERT_NE(localPort, 0);
    substitute::RedirectConnections(listener);
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    sockaddr_in local = Address("0.0.0.0", localPort);
    ASSERT_EQ(bind(s, AsSockaddr(local), sizeof local), 0) << WSAGetLastError();
    sockaddr_in printer = Address("192.168.1.50", 9100);
    ASSERT_EQ(connect(s, AsSockaddr(printer), sizeof printer), 0) << WSAGetLastError();
    substitute::LimitSendBytes(7);
    EXPECT_EQ(send(s, "^XA^FDlabel^FS^XZ", 17, 0), 7);
    substitute::LimitSendBytes(0);
    EXPECT_EQ(send(s, "^FS^XZ", 6, 0), 6);
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(WSACleanup(), 0);

    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    auto received = substitute::ReceivedConnections();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes, "^XA^FDl^FS^XZ");
    EXPECT_EQ(received[0].peerPort, localPort);
    std::vector<std::string> expected = {"WSAStartup 1.1",
                                         "socket",
                                         "bind " + std::to_string(localPort),
                                         "connect 192.168.1.50:9100",
                                         "send 17",
                                         "send 6",
                                         "closesocket",
                                         "WSACleanup"};
    EXPECT_EQ(substitute::CallLog(), expected);
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

// What the closing wait of a network job relies on: a quiet peer makes recv fail with
// WSAETIMEDOUT after SO_RCVTIMEO, greeting bytes arrive, and the peer's close after our
// shutdown reads as the end of the stream; the names of the two ends are the real ones.
TEST_F(WinsockTest, ReceiveTimeOutShutdownAndNamesOfTheEnds) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    unsigned short listener = substitute::StartLoopbackListener();
    ASSERT_NE(listener, 0);
    substitute::SetLoopbackPeer("hello", substitute::LoopbackPeerEnd::Close);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Address("127.0.0.1", listener);
    ASSERT_EQ(connect(s, AsSockaddr(address), sizeof address), 0);

    sockaddr_in local{};
    sockaddr_in peer{};
    int localLength = sizeof local;
    int peerLength = sizeof peer;
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength), 0);
    ASSERT_EQ(getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength), 0);
    EXPECT_EQ(ntohs(peer.sin_port), listener);
    EXPECT_EQ(peer.sin_addr.s_addr, inet_addr("127.0.0.1"));
    EXPECT_NE(local.sin_port, peer.sin_port);
    substitute::ReportOwnNameAsPeer(true);
    ASSERT_EQ(getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength), 0);
    EXPECT_EQ(peer.sin_port, local.sin_port);

    DWORD timeout = 200;
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                         sizeof timeout),
              0);
    char buffer[16] = {};
    ASSERT_EQ(recv(s, buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(recv(s, buffer, sizeof buffer, 0), SOCKET_ERROR); // the peer waits for more
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    EXPECT_EQ(send(s, "abc", 3, 0), 3);
    ASSERT_EQ(shutdown(s, SD_SEND), 0);
    EXPECT_EQ(recv(s, buffer, sizeof buffer, 0), 0);
    EXPECT_EQ(send(s, "x", 1, 0), SOCKET_ERROR);
    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    EXPECT_EQ(substitute::ReceivedConnections()[0].bytes, "abc");
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST_F(WinsockTest, SystemFailuresMapToWinsockCodes) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    unsigned short port = substitute::FreeLocalPort();
    ASSERT_NE(port, 0);

    // Nothing listens on a port that was free a moment ago: refused.
    SOCKET refused = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in nobody = Address("127.0.0.1", port);
    WSASetLastError(0);
    EXPECT_EQ(connect(refused, AsSockaddr(nobody), sizeof nobody), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);

    // Two sockets bound to one port: the second one finds it in use.
    SOCKET first = socket(AF_INET, SOCK_STREAM, 0);
    SOCKET second = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = Address("0.0.0.0", port);
    ASSERT_EQ(bind(first, AsSockaddr(local), sizeof local), 0) << WSAGetLastError();
    EXPECT_EQ(bind(second, AsSockaddr(local), sizeof local), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);

    // A send on a socket that never connected.
    EXPECT_EQ(send(second, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);

    closesocket(refused);
    closesocket(first);
    closesocket(second);
    WSACleanup();
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

TEST_F(WinsockTest, RedirectedBindUsesTheOtherPortButLogsTheAskedOne) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    unsigned short taken = substitute::FreeLocalPort();
    SOCKET holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = Address("0.0.0.0", taken);
    ASSERT_EQ(bind(holder, AsSockaddr(local), sizeof local), 0);
    substitute::RedirectBindPort(taken, 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    substitute::ClearCallLog();
    EXPECT_EQ(bind(s, AsSockaddr(local), sizeof local), 0) << WSAGetLastError();
    EXPECT_EQ(substitute::CallLog(), (std::vector<std::string>{"bind " + std::to_string(taken)}));
    closesocket(s);
    closesocket(holder);
    WSACleanup();
}

TEST_F(WinsockTest, BadArgumentsAreRefused) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(socket(AF_INET6 + 1, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM + 1, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAESOCKTNOSUPPORT);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = Address("0.0.0.0", 0);
    EXPECT_EQ(bind(s, AsSockaddr(local), 8), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(bind(s, nullptr, 16), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    closesocket(s);
    WSACleanup();
}

// getaddrinfo: Windows' records for each family, its codes for names that do not resolve,
// and a list that is a handle until freeaddrinfo.
TEST_F(WinsockTest, GetaddrinfoAnswersInWindowsRecordsAndCodes) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    EXPECT_EQ(getaddrinfo("127.0.0.1", "9100", &hints, &list), WSANOTINITIALISED);
    EXPECT_EQ(list, nullptr);

    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    struct Case {
        const char* node;
        int family;
        std::size_t length;
        unsigned char firstByte; // of the address
        unsigned char lastByte;
    };
    const Case cases[] = {
        {"127.0.0.1", AF_INET, sizeof(sockaddr_in), 127, 1},
        {"::1", AF_INET6, sizeof(sockaddr_in6), 0, 1},
        {"10.0.0.5", AF_INET, sizeof(sockaddr_in), 10, 5},
        {"fe80::2", AF_INET6, sizeof(sockaddr_in6), 0xfe, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node);
        ASSERT_EQ(getaddrinfo(c.node, "9100", &hints, &list), 0);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->ai_next, nullptr);
        EXPECT_EQ(list->ai_family, c.family);
        EXPECT_EQ(list->ai_socktype, SOCK_STREAM);
        EXPECT_EQ(list->ai_addrlen, c.length);
        EXPECT_EQ(list->ai_addr->sa_family, c.family);
        EXPECT_EQ(
            substitute::OpenHandles(),
            (std::vector<std::string>{"winsock:registration", std::string("addrinfo:") + c.node}));
        if (c.family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(list->ai_addr);
            EXPECT_EQ(ntohs(address->sin6_port), 9100);
            EXPECT_EQ(address->sin6_addr.s6_addr[0], c.firstByte);
            EXPECT_EQ(address->sin6_addr.s6_addr[15], c.lastByte);
        } else {
            const auto* address = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
            EXPECT_EQ(ntohs(address->sin_port), 9100);
            EXPECT_EQ(ntohl(address->sin_addr.s_addr) >> 24, c.firstByte);
            EXPECT_EQ(ntohl(address->sin_addr.s_addr) & 0xFFu, c.lastByte);
        }
        freeaddrinfo(list);
        EXPECT_EQ(substitute::OpenHandles(), (std::vector<std::string>{"winsock:registration"}));
    }

    hints.ai_family = AF_INET6;
    EXPECT_NE(getaddrinfo("127.0.0.1", "9100", &hints, &list), 0); // no IPv6 address
    EXPECT_EQ(list, nullptr);
    hints.ai_family = AF_INET + 1;
    EXPECT_EQ(getaddrinfo("127.0.0.1", "9100", &hints, &list), WSAEAFNOSUPPORT);
    hints.ai_family = AF_UNSPEC;
    // A resolver that cannot reach its server says "try again" instead.
    int unknown = getaddrinfo("printer.invalid", "9100", &hints, &list);
    EXPECT_TRUE(unknown == WSAHOST_NOT_FOUND || unknown == WSATRY_AGAIN) << unknown;
    EXPECT_EQ(WSAGetLastError(), unknown);
    substitute::FailNext("getaddrinfo", WSANO_RECOVERY);
    EXPECT_EQ(getaddrinfo("127.0.0.1", "9100", &hints, &list), WSANO_RECOVERY);
    EXPECT_EQ(WSAGetLastError(), WSANO_RECOVERY);
    EXPECT_EQ(list, nullptr);
    WSACleanup();
    EXPECT_TRUE(substitute::OpenHandles().empty());
}

// An IPv6 socket reaches the listener on ::1 and names both of its ends as sockaddr_in6;
// addresses of the other family, or too short for their own, are refused.
TEST_F(WinsockTest, Ipv6SocketsConnectAndNameTheirEnds) {
    unsigned short port = substitute::StartLoopbackListener6();
    if (port == 0) {
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    }
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    SOCKET s = socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    sockaddr_in v4 = Address("127.0.0.1", port);
    EXPECT_EQ(connect(s, AsSockaddr(v4), sizeof v4), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);

    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_port = htons(port);
    loopback.sin6_addr.s6_addr[15] = 1;
    const auto* name = reinterpret_cast<const sockaddr*>(&loopback);
    EXPECT_EQ(connect(s, name, sizeof(sockaddr_in)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    // Redirection is for IPv4 sockets: this one goes where it is told.
    substitute::RedirectConnections(1);
    substitute::ClearCallLog();
    ASSERT_EQ(connect(s, name, sizeof loopback), 0) << WSAGetLastError();
    EXPECT_EQ(substitute::CallLog(),
              (std::vector<std::string>{"connect [::1]:" + std::to_string(port)}));

    sockaddr_storage peer{};
    int length = sizeof(sockaddr_in);
    EXPECT_EQ(getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    length = sizeof peer;
    ASSERT_EQ(getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length), 0);
    EXPECT_EQ(length, static_cast<int>(sizeof(sockaddr_in6)));
    EXPECT_EQ(peer.ss_family, AF_INET6);
    const auto* peer6 = reinterpret_cast<const sockaddr_in6*>(&peer);
    EXPECT_EQ(ntohs(peer6->sin6_port), port);
    EXPECT_EQ(peer6->sin6_addr.s6_addr[15], 1);
    sockaddr_storage own{};
    length = sizeof own;
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&own), &length), 0);
    EXPECT_EQ(own.ss_family, AF_INET6);
    EXPECT_NE(ntohs(reinterpret_cast<const sockaddr_in6*>(&own)->sin6_port), port);

    ASSERT_EQ(send(s, "^XA^XZ", 6, 0), 6);
    ASSERT_EQ(shutdown(s, SD_SEND), 0);
    ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
    EXPECT_EQ(substitute::ReceivedConnections()[0].bytes, "^XA^XZ");
    closesocket(s);
    WSACleanup();
}

} // namespace
