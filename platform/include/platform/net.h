// Socket set-up that differs between the systems: Winsock start-up, the port probe, and the
// options of a listening socket. None of these blocks; all are thread-safe.
#pragma once

#include <cstdint>
#include <string>

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
// connections linger in TIME_WAIT).
// false when the option is refused.
bool PrepareListenSocket(std::uintptr_t nativeSocket);

}  // namespace platform
