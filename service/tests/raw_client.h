// A bare TCP client for checking the exact bytes the server sends, and the server polled on a
// thread of its own, as the service's loop polls it.
#pragma once

#include <boost/asio.hpp>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "http/http.h"

namespace test {

class RawClient {
 public:
  explicit RawClient(unsigned short port) : socket_(ioc_) {
    socket_.connect({boost::asio::ip::address_v4::loopback(), port});
  }

  void Send(const std::string& bytes) { boost::asio::write(socket_, boost::asio::buffer(bytes)); }

  // One answer in the service's envelope: the head up to the blank line, then Content-Length
  // bytes and the trailing LF. Other answers (no Content-Length) end at the blank line.
  std::string ReadAnswer() {
    std::string head = ReadUntil("\n\n", "\r\n\r\n");
    const auto pos = head.find("Content-Length: ");
    if (pos == std::string::npos) return head;
    const size_t length = std::stoul(head.substr(pos + 16));
    const bool envelope = head.find("\r\n\r\n") == std::string::npos;
    return head + ReadExactly(length + (envelope ? 1 : 0));
  }

  // The head of an answer alone, up to its blank line (a HEAD answer has nothing more).
  std::string ReadHead() { return ReadUntil("\n\n", "\r\n\r\n"); }

  // Sends as much as the server takes; false once it has ended the connection.
  bool TrySend(const std::string& bytes) {
    boost::system::error_code ec;
    boost::asio::write(socket_, boost::asio::buffer(bytes), ec);
    return !ec;
  }

  std::string ReadExactly(size_t n) {
    while (pending_.size() < n) Fill();
    std::string out = pending_.substr(0, n);
    pending_.erase(0, n);
    return out;
  }

  // Everything until the server closes the connection.
  std::string ReadToEnd() {
    boost::system::error_code ec;
    for (;;) {
      char buf[4096];
      const size_t n = socket_.read_some(boost::asio::buffer(buf), ec);
      if (ec) break;
      pending_.append(buf, n);
    }
    std::string out;
    out.swap(pending_);
    return out;
  }

  // True when the server has closed the connection (EOF or reset).
  bool Closed() {
    boost::system::error_code ec;
    char c;
    socket_.read_some(boost::asio::buffer(&c, 1), ec);
    return static_cast<bool>(ec);
  }

  boost::asio::ip::tcp::socket& Socket() { return socket_; }

 private:
  std::string ReadUntil(const std::string& a, const std::string& b) {
    for (;;) {
      auto pa = pending_.find(a);
      auto pb = pending_.find(b);
      size_t end = std::string::npos;
      if (pa != std::string::npos) end = pa + a.size();
      if (pb != std::string::npos && (end == std::string::npos || pb + b.size() < end)) end = pb + b.size();
      if (end != std::string::npos) {
        std::string out = pending_.substr(0, end);
        pending_.erase(0, end);
        return out;
      }
      Fill();
    }
  }

  void Fill() {
    char buf[4096];
    const size_t n = socket_.read_some(boost::asio::buffer(buf));
    pending_.append(buf, n);
  }

  boost::asio::io_context ioc_;
  boost::asio::ip::tcp::socket socket_;
  std::string pending_;
};

// Polls a started server until destroyed.
class PollingThread {
 public:
  explicit PollingThread(Tarnwick& server)
      : server_(server), thread_([this] {
          while (!stop_) server_.PollOnce(100);
        }) {}
  ~PollingThread() {
    stop_ = true;
    server_.Interrupt();
    thread_.join();
  }

 private:
  Tarnwick& server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One GET on a fresh connection; the whole answer.
inline std::string Get(unsigned short port, const std::string& target) {
  RawClient c(port);
  c.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
  return c.ReadAnswer();
}

// The body of an answer in the envelope, with its trailing LF.
inline std::string Body(const std::string& answer) { return answer.substr(answer.find("\n\n") + 2); }

}  // namespace test
