#include "platform/net.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace platform {

int NetStartup(uint16_t version) {
  WSADATA data;
  return ::WSAStartup(version, &data);
}

bool PrepareListenSocket(std::uintptr_t nativeSocket) {
  BOOL on = TRUE;
  return ::setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

PortProbe ProbeTcpPort(uint16_t port, const std::string& address, int* error) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    if (error) *error = ::WSAGetLastError();
    return PortProbe::OtherError;
  }
  PrepareListenSocket(static_cast<std::uintptr_t>(s));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    if (error) *error = WSAEINVAL;
    ::closesocket(s);
    return PortProbe::OtherError;
  }
  addr.sin_port = htons(port);
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

sockaddr_in Address(u_long host, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(host);
  addr.sin_port = htons(port);
  return addr;
}

SOCKET Native(Socket s) { return static_cast<SOCKET>(s); }

}  // namespace

Socket TcpSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

bool BindAny(Socket s, uint16_t port) {
  PrepareListenSocket(static_cast<std::uintptr_t>(s));
  const sockaddr_in addr = Address(INADDR_ANY, port);
  return ::bind(Native(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

uint16_t LocalPort(Socket s) {
  sockaddr_in addr{};
  int size = sizeof addr;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&addr), &size) != 0) return 0;
  return ntohs(addr.sin_port);
}

bool Listen(Socket s, int backlog) { return ::listen(Native(s), backlog) == 0; }

Socket Accept(Socket s) {
  const SOCKET c = ::accept(Native(s), nullptr, nullptr);
  return c == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(c);
}

bool ConnectLoopback(Socket s, uint16_t port) {
  const sockaddr_in addr = Address(INADDR_LOOPBACK, port);
  return ::connect(Native(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
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
