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

}  // namespace platform
