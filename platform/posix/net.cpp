#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "../ipv4_address.h"

namespace platform {
int NetStartup(uint16_t) { return 0; }

bool PrepareListenSocket(std::uintptr_t nativeSocket) {
  const int fd = static_cast<int>(nativeSocket);
  int on = 1;
  const bool reuse = ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
  const int flags = ::fcntl(fd, F_GETFD);
  return reuse && flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

PortProbe ProbeTcpPort(uint16_t port, const std::string& address, int* error) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    if (error) *error = errno;
    return PortProbe::OtherError;
  }
  PrepareListenSocket(static_cast<std::uintptr_t>(s));
  sockaddr_in addr = Ipv4Address(INADDR_ANY, port);
  if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    if (error) *error = EINVAL;
    ::close(s);
    return PortProbe::OtherError;
  }
  PortProbe result = PortProbe::Free;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (error) *error = errno;
    result = errno == EADDRINUSE ? PortProbe::InUse : PortProbe::OtherError;
  }
  ::close(s);
  return result;
}

int NetCleanup() { return 0; }

namespace {

int Fd(Socket s) { return static_cast<int>(s); }

bool Bind(Socket s, uint32_t host, uint16_t port) {
  PrepareListenSocket(static_cast<std::uintptr_t>(s));
  const sockaddr_in addr = Ipv4Address(host, port);
  return ::bind(Fd(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return static_cast<int>(left < 0 ? 0 : left > INT_MAX ? INT_MAX : left);
}

}  // namespace

bool BindAny(Socket s, uint16_t port) { return Bind(s, INADDR_ANY, port); }

bool BindLoopback(Socket s, uint16_t port) { return Bind(s, INADDR_LOOPBACK, port); }

Socket TcpSocket() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return s < 0 ? kNoSocket : s;
}

uint16_t LocalPort(Socket s) {
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&addr), &size) != 0) return 0;
  return ntohs(addr.sin_port);
}

bool Listen(Socket s, int backlog) { return ::listen(Fd(s), backlog) == 0; }

Socket Accept(Socket s) {
  int c;
  do {
    c = ::accept4(Fd(s), nullptr, nullptr, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  return c < 0 ? kNoSocket : c;
}

bool Connect(Socket s, const std::string& address, uint16_t port, uint32_t timeoutMs) {
  sockaddr_in addr = Ipv4Address(INADDR_ANY, port);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    errno = EINVAL;
    return false;
  }
  const int flags = ::fcntl(Fd(s), F_GETFL);
  if (flags < 0 || ::fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool connected = ::connect(Fd(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
    for (;;) {
      pollfd p = {Fd(s), POLLOUT, 0};
      const int ready = ::poll(&p, 1, timeoutMs == kWaitForever ? -1 : MsLeft(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) errno = ETIMEDOUT;
      if (ready <= 0) break;
      int error = 0;
      socklen_t size = sizeof error;
      if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &size) != 0) break;
      errno = error;
      connected = error == 0;
      break;
    }
  }
  const int saved = errno;
  ::fcntl(Fd(s), F_SETFL, flags);
  errno = saved;
  return connected;
}

bool ConnectLoopback(Socket s, uint16_t port, uint32_t timeoutMs) { return Connect(s, "127.0.0.1", port, timeoutMs); }

bool SetSendTimeout(Socket s, uint32_t timeoutMs) {
  timeval limit{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
  return ::setsockopt(Fd(s), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

bool PeerOpen(Socket s) {
  pollfd p = {Fd(s), POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return true;
  if ((p.revents & (POLLERR | POLLNVAL)) != 0) return false;
  char c;
  const ssize_t n = ::recv(Fd(s), &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

long Send(Socket s, const void* data, size_t size) {
  ssize_t n;
  do {
    n = ::send(Fd(s), data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<long>(n);
}

long Receive(Socket s, void* data, size_t size, uint32_t timeoutMs) {
  if (s == kNoSocket) {
    errno = EBADF;
    return -1;
  }
  if (timeoutMs != kWaitForever) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pollfd p = {Fd(s), POLLIN, 0};
      const int ready = ::poll(&p, 1, MsLeft(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return -1;
      if (ready == 0) return kTimedOut;
      break;
    }
  }
  ssize_t n;
  do {
    n = ::recv(Fd(s), data, size, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<long>(n);
}

bool CloseSocket(Socket s) {
  if (s == kNoSocket) {
    errno = EBADF;
    return false;
  }
  // A thread blocked on the socket wakes only when the connection is shut down first.
  ::shutdown(Fd(s), SHUT_RDWR);
  return ::close(Fd(s)) == 0;
}

int LastNetError() { return errno; }

}  // namespace platform
