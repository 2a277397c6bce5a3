// One keep-alive HTTP connection to a service on loopback, for the benchmarks that drive the
// signature routes: GETs answered in the service's envelope, one after the other.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/net.h"

namespace bench {

class KeepAliveHttp {
 public:
  bool Open(uint16_t port) {
    socket_ = platform::TcpSocket();
    return platform::ConnectLoopback(socket_, port);
  }
  ~KeepAliveHttp() { platform::CloseSocket(socket_); }
  // The body of the answer to a GET (the envelope's trailing LF dropped); empty on failure.
  std::string Get(const std::string& path) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (platform::Send(socket_, request.data(), request.size()) != static_cast<long>(request.size())) return "";
    size_t head;
    while ((head = pending_.find("\n\n")) == std::string::npos) {
      if (!Fill()) return "";
    }
    const size_t at = pending_.find("Content-Length: ");
    if (at == std::string::npos || at > head) return "";
    const size_t length = std::strtoul(pending_.c_str() + at + 16, nullptr, 10);
    while (pending_.size() < head + 2 + length + 1) {
      if (!Fill()) return "";
    }
    std::string body = pending_.substr(head + 2, length);
    pending_.erase(0, head + 2 + length + 1);
    return body;
  }

 private:
  bool Fill() {
    char chunk[1 << 16];
    const long n = platform::Receive(socket_, chunk, sizeof chunk, 20000);
    if (n <= 0) return false;
    pending_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  platform::Socket socket_ = platform::kNoSocket;
  std::string pending_;
};

}  // namespace bench
