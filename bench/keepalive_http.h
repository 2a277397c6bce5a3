// One keep-alive HTTP connection to a service on loopback, for the benchmarks that drive the
// signature routes: GETs answered in the service's envelope, one after the other. And the
// service they drive, started as "console" in a folder of their own.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

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

// `service` started as "Tarnwick console" in `folder`, its output to /dev/null, in the
// environment this process has; -1 when it cannot start.
inline pid_t SpawnConsole(const std::string& service, const char* folder) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  char* args[] = {const_cast<char*>(service.c_str()), const_cast<char*>("console"), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, service.c_str(), &actions, nullptr, args, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Opens `http` once a service listens on `port`; false after 10 s without one.
inline bool OpenWhenListening(KeepAliveHttp& http, uint16_t port) {
  for (int i = 0; i < 500; ++i) {
    if (http.Open(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace bench
