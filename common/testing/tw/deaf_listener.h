// A listener on 127.0.0.1 that never accepts: its queue is filled until a connect goes
// unanswered (the system would retry such a connect for minutes). For the tests and benchmarks
// of connect deadlines; Winsock must be started on Windows.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/net.h"

namespace tw::testing {

class DeafListener {
 public:
  // port 0: any free port.
  explicit DeafListener(uint16_t port) : listener_(platform::TcpSocket()) {
    if (!platform::BindLoopback(listener_, port) || !platform::Listen(listener_, 0)) return;
    port_ = platform::LocalPort(listener_);
    for (int i = 0; i < 64 && !full_; ++i) {
      const platform::Socket s = platform::TcpSocket();
      if (platform::ConnectLoopback(s, port_, 300)) {
        queued_.push_back(s);
      } else {
        platform::CloseSocket(s);
        full_ = true;
      }
    }
  }
  ~DeafListener() {
    for (platform::Socket s : queued_) platform::CloseSocket(s);
    platform::CloseSocket(listener_);
  }
  DeafListener(const DeafListener&) = delete;
  DeafListener& operator=(const DeafListener&) = delete;

  // Listening, and a connect went unanswered.
  bool Full() const { return full_; }
  uint16_t Port() const { return port_; }

 private:
  platform::Socket listener_;
  uint16_t port_ = 0;
  bool full_ = false;
  std::vector<platform::Socket> queued_;
};

}  // namespace tw::testing
