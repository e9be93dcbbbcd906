// Test hooks of the substitute Winsock: its connections redirected, short sends, time-outs,
// and the loopback listener that stands in for a label printer.
//
// The program binds its local end to the printer's own port, so a listener on this host's
// loopback cannot use that port. Tests therefore point the program at any address and port
// they like and redirect its connections: RedirectConnections sends every connect to the
// loopback listener (the call log still shows the address and port the program asked for).
// Its bind stays real; RedirectBindPort moves a bind to another local port (0: one the
// system picks) where the program's port may be taken on this host.
#pragma once

#include "platform/win32.h"

#include <chrono>
#include <string>
#include <vector>

namespace substitute {

// Each send hands at most this many bytes to the system (0: no limit), to provoke short sends.
void LimitSendBytes(int bytes);

// Every connect of an IPv4 socket goes to 127.0.0.1:loopbackPort (host byte order) instead
// (0: no redirection). IPv6 sockets connect where they are told.
void RedirectConnections(unsigned short loopbackPort);

// A bind to local port `from` binds to `to` instead (host byte order; `to` 0: any free port).
void RedirectBindPort(unsigned short from, unsigned short to);

// recv on a socket with a receive time-out (SO_RCVTIMEO): the next `times` calls, after
// `skip` that receive as usual, fail at once with WSAETIMEDOUT, and under the virtual clock
// their whole time-out passes (as it does when a recv really times out).
void TimeOutRecv(int times = 1, int skip = 0);
// Under the virtual clock, every recv that gets data or the end of the stream is taken to
// have waited this long for it (0 unless set).
void WaitInRecv(DWORD milliseconds);

// select with a time-out: the next `times` calls, after `skip` that wait as usual, find
// nothing ready at once, and under the virtual clock their whole time-out passes.
void TimeOutSelect(int times = 1, int skip = 0);
// Under the virtual clock, every select that finds a socket ready is taken to have waited
// this long for it; a select whose time-out is not longer runs out instead (0 unless set).
void WaitInSelect(DWORD milliseconds);

// getpeername reports the socket's own end, as for a connection to itself.
void ReportOwnNameAsPeer(bool on);

// How the loopback listener's peer treats each connection from its next accept on: it sends
// `greeting` at once (while reading what comes), and once the sender has ended its side it
// closes, resets the connection, or stays open until the listener stops (a connection that
// stays open counts as complete once the sender has ended its side).
enum class LoopbackPeerEnd { Close, Reset, StayOpen };
void SetLoopbackPeer(const std::string& greeting, LoopbackPeerEnd end);

// A port (host byte order) that is free on every local address now; nothing holds it.
unsigned short FreeLocalPort();

// A TCP listener on 127.0.0.1 that accepts one connection after the other on its own thread
// and keeps what each one delivered. Stopped by StopLoopbackListener and by Reset.
struct ReceivedConnection {
    std::string bytes;
    unsigned short peerPort; // the local port the sender used (host byte order)
};
// Its port (host byte order), or 0 when it could not be started.
unsigned short StartLoopbackListener();
// The same listener on ::1 instead; 0 when this host has no IPv6 loopback.
unsigned short StartLoopbackListener6();
void StopLoopbackListener();
// Makes the listener a ZPL printer that answers each host status query "~HS" with `answer`,
// sent as it is (a well-formed answer, a garbled or a partial one). Until then, and after
// StopLoopbackListener or Reset, it answers nothing, as an EPL printer.
void AnswerHostStatus(const std::string& answer);
// The same for the error report query "~HQES" (current firmware answers it in every state);
// answers go out in the order the queries arrive.
void AnswerErrorReport(const std::string& answer);
// The connections the peer has closed so far, in the order they were accepted.
std::vector<ReceivedConnection> ReceivedConnections();
// Waits until `count` connections are complete; false after the time-out.
bool WaitForReceivedConnections(std::size_t count,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace substitute
