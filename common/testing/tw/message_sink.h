// A message window on a thread of its own that keeps the messages of one id, for tests of code
// that posts window messages.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/message.h"

namespace tw::testing {

class MessageSink {
 public:
  explicit MessageSink(uint32_t id)
      : id_(id), quit_(platform::message::RegisterMessage("tw.testing.MessageSink.quit")) {
    thread_ = std::thread([this] {
      auto window = platform::message::MessageWindow::Create({}, [this](const platform::message::Message& m) {
        if (m.id == quit_) {
          window_->PostQuit(0);
          return true;
        }
        if (m.id != id_) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(m);
        cv_.notify_all();
        return true;
      });
      {
        std::lock_guard<std::mutex> lock(mutex_);
        window_ = window.get();
        ready_ = true;
        cv_.notify_all();
      }
      if (window) window->Run();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return ready_; });
  }
  ~MessageSink() {
    if (window_ != nullptr) platform::message::Post(window_->Handle(), quit_, 0, 0);
    thread_.join();
  }
  MessageSink(const MessageSink&) = delete;
  MessageSink& operator=(const MessageSink&) = delete;

  bool ok() const { return window_ != nullptr; }
  platform::message::WindowHandle Handle() const { return window_ != nullptr ? window_->Handle() : nullptr; }

  // The next message kept, waiting at most timeoutMs.
  std::optional<platform::message::Message> Next(uint32_t timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !messages_.empty(); })) {
      return std::nullopt;
    }
    const platform::message::Message m = messages_.front();
    messages_.pop_front();
    return m;
  }

 private:
  const uint32_t id_;
  const uint32_t quit_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool ready_ = false;
  platform::message::MessageWindow* window_ = nullptr;
  std::deque<platform::message::Message> messages_;
};

}  // namespace tw::testing
