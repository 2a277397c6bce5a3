#include "platform/net.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "../ipv4_address.h"

namespace platform {

int NetStartup(uint16_t version) {
  WSADATA data;
  return ::WSAStartup(version, &data);
}

bool PrepareListenSocket(std::uintptr_t nativeSocket) {
  BOOL on = TRUE;
  const bool exclusive = ::setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
  return ::SetHandleInformation(reinterpret_cast<HANDLE>(nativeSocket), HANDLE_FLAG_INHERIT, 0) != FALSE && exclusive;
}

PortProbe ProbeTcpPort(uint16_t port, const std::string& address, int* error) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    if (error) *error = ::WSAGetLastError();
    return PortProbe::OtherError;
  }
  PrepareListenSocket(static_cast<std::uintptr_t>(s));
  sockaddr_in addr = Ipv4Address(INADDR_ANY, port);
  if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    if (error) *error = WSAEINVAL;
    ::closesocket(s);
    return PortProbe::OtherError;
  }
  PortProbe result = PortProbe::Free;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
    int e = ::WSAGetLastError();
    if (error) *error = e;
    result = e == WSAEADDRINUSE ? PortProbe::InUse : PortProbe::OtherError;
  }
  ::closesocket(s);
  return result;
}

int NetCleanup() { return ::WSACleanup() == 0 ? 0 : ::WSAGetLastError(); }

namespace {

SOCKET Native(Socket s) { return static_cast<SOCKET>(s); }

bool Bind(Socket s, u_long host, uint16_t port) {
  PrepareListenSocket(static_cast<std::uintptr_t>(s));
  const sockaddr_in addr = Ipv4Address(host, port);
  return ::bind(Native(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

// Sockets are inheritable by default; a child started with inheritance on would hold them.
Socket Kept(SOCKET s) {
  if (s == INVALID_SOCKET) return kNoSocket;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<Socket>(s);
}

}  // namespace

Socket TcpSocket() { return Kept(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

bool BindAny(Socket s, uint16_t port) { return Bind(s, INADDR_ANY, port); }

bool BindLoopback(Socket s, uint16_t port) { return Bind(s, INADDR_LOOPBACK, port); }

uint16_t LocalPort(Socket s) {
  sockaddr_in addr{};
  int size = sizeof addr;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&addr), &size) != 0) return 0;
  return ntohs(addr.sin_port);
}

bool Listen(Socket s, int backlog) { return ::listen(Native(s), backlog) == 0; }

Socket Accept(Socket s) { return Kept(::accept(Native(s), nullptr, nullptr)); }

bool Connect(Socket s, const std::string& address, uint16_t port, uint32_t timeoutMs) {
  sockaddr_in addr = Ipv4Address(INADDR_ANY, port);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    ::WSASetLastError(WSAEINVAL);
    return false;
  }
  u_long nonBlocking = 1;
  if (::ioctlsocket(Native(s), FIONBIO, &nonBlocking) != 0) return false;
  bool connected = ::connect(Native(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  int error = ::WSAGetLastError();
  if (!connected && error == WSAEWOULDBLOCK) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Native(s), &writable);
    FD_SET(Native(s), &failed);
    timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writable, &failed, timeoutMs == kWaitForever ? nullptr : &limit);
    error = ready == 0 ? WSAETIMEDOUT : ::WSAGetLastError();
    if (ready > 0) {
      int size = sizeof error;
      error = 0;
      // A refused connect shows in the failed set; its reason is the socket's error.
      if (FD_ISSET(Native(s), &failed)) {
        ::getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        if (error == 0) error = WSAECONNREFUSED;
      }
      connected = error == 0;
    }
  }
  u_long blocking = 0;
  ::ioctlsocket(Native(s), FIONBIO, &blocking);
  ::WSASetLastError(error);
  return connected;
}

bool ConnectLoopback(Socket s, uint16_t port, uint32_t timeoutMs) { return Connect(s, "127.0.0.1", port, timeoutMs); }

bool SetSendTimeout(Socket s, uint32_t timeoutMs) {
  const DWORD limit = timeoutMs;
  return ::setsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit) == 0;
}

bool PeerOpen(Socket s) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(s), &readable);
  timeval none{0, 0};
  const int ready = ::select(0, &readable, nullptr, nullptr, &none);
  if (ready == 0) return true;
  if (ready == SOCKET_ERROR) return false;
  char c;
  return ::recv(Native(s), &c, 1, MSG_PEEK) > 0;
}

long Send(Socket s, const void* data, size_t size) {
  const int n = ::send(Native(s), static_cast<const char*>(data), static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long Receive(Socket s, void* data, size_t size, uint32_t timeoutMs) {
  if (s == kNoSocket) {
    ::WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  if (timeoutMs != kWaitForever) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(s), &readable);
    timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
    if (ready == SOCKET_ERROR) return -1;
    if (ready == 0) return kTimedOut;
  }
  const int n = ::recv(Native(s), static_cast<char*>(data), static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool CloseSocket(Socket s) { return s != kNoSocket && ::closesocket(Native(s)) == 0; }

int LastNetError() { return ::WSAGetLastError(); }

}  // namespace platform
