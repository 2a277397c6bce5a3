#include "platform/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

namespace platform {

int NetStartup(uint16_t) { return 0; }

bool PrepareListenSocket(std::uintptr_t nativeSocket) {
  int on = 1;
  return ::setsockopt(static_cast<int>(nativeSocket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

PortProbe ProbeTcpPort(uint16_t port, const std::string& address, int* error) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    if (error) *error = errno;
    return PortProbe::OtherError;
  }
  PrepareListenSocket(static_cast<std::uintptr_t>(s));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    if (error) *error = EINVAL;
    ::close(s);
    return PortProbe::OtherError;
  }
  addr.sin_port = htons(port);
  PortProbe result = PortProbe::Free;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (error) *error = errno;
    result = errno == EADDRINUSE ? PortProbe::InUse : PortProbe::OtherError;
  }
  ::close(s);
  return result;
}

}  // namespace platform
