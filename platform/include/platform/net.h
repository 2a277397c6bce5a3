// Socket set-up that differs between the systems: Winsock start-up, the port probe, and the
// options of a listening socket. None of these blocks; all are thread-safe.
// Below them, plain blocking TCP sockets over IPv4 for the programs' own small protocols.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event.h"

namespace platform {

// WSAStartup with the given version on Windows (its error code on failure); 0 elsewhere.
int NetStartup(uint16_t version);

enum class PortProbe { Free, InUse, OtherError };

// Binds a fresh TCP socket to address:port (every IPv4 interface when `address` is empty),
// with the options a listener gets (so on Windows a port another program holds on any one
// address counts as taken), and closes it again without listening. InUse: another socket
// holds the address; OtherError: anything else (no sockets, no rights, a malformed address),
// with the system's code in `error`.
PortProbe ProbeTcpPort(uint16_t port, const std::string& address, int* error);

// Options every listening socket gets before bind: SO_EXCLUSIVEADDRUSE on Windows (no other
// program can take the port over), SO_REUSEADDR on Linux (a restart is not refused while old
// connections linger in TIME_WAIT). The socket is also kept from child programs (close-on-exec,
// not inheritable), so that a child never holds the port after this process has ended.
// false when an option is refused.
bool PrepareListenSocket(std::uintptr_t nativeSocket);

// WSACleanup on Windows (0, or its error code); 0 elsewhere. Pairs with one NetStartup.
int NetCleanup();

// Blocking TCP sockets (Winsock must be started on Windows), never inherited by child programs.
// A socket is used by one thread at a time, except that any thread may close it: a call blocked
// on it then ends with a failure.
using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;
constexpr long kTimedOut = -2;
// What a connect may take unless told otherwise: a listener that never accepts must not hold
// the caller for the system's own SYN retries (minutes).
constexpr uint32_t kConnectTimeoutMs = 5000;

Socket TcpSocket();  // kNoSocket on failure
// Binds to 0.0.0.0:port with the options of PrepareListenSocket. false on failure.
bool BindAny(Socket s, uint16_t port);
// The same on 127.0.0.1 only: no other host can reach the port.
bool BindLoopback(Socket s, uint16_t port);
// The port a socket is bound to (useful after binding port 0); 0 on failure.
uint16_t LocalPort(Socket s);
bool Listen(Socket s, int backlog);
// Blocks for the next connection; kNoSocket on failure (the socket was closed, say).
Socket Accept(Socket s);
// Connects to address:port (dotted IPv4); false when refused, unreachable, or not done within
// timeoutMs (the socket is then unusable: close it). The socket stays blocking afterwards.
bool Connect(Socket s, const std::string& address, uint16_t port, uint32_t timeoutMs = kConnectTimeoutMs);
// The same to 127.0.0.1.
bool ConnectLoopback(Socket s, uint16_t port, uint32_t timeoutMs = kConnectTimeoutMs);
// Sends that cannot go out within timeoutMs fail (a peer that stopped reading).
bool SetSendTimeout(Socket s, uint32_t timeoutMs);
// false when the peer has closed or reset the connection (bytes waiting leave it open); does not
// block and consumes nothing.
bool PeerOpen(Socket s);
// One send call: the bytes it took (possibly fewer than size), -1 on failure. A peer that has
// gone never raises a signal.
long Send(Socket s, const void* data, size_t size);
// One receive call: the bytes received (1..size), 0 when the peer has closed, -1 on failure,
// kTimedOut when nothing came within timeoutMs (kWaitForever: no limit).
long Receive(Socket s, void* data, size_t size, uint32_t timeoutMs = kWaitForever);
// false when closing failed (not an open socket).
bool CloseSocket(Socket s);
// The system's code of this thread's last failed socket call.
int LastNetError();

}  // namespace platform
