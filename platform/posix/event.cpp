#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {
namespace {

class PosixEvent final : public Event {
 public:
  void Set() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = true;
    }
    cv_.notify_all();
  }
  void Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
  }
  WaitResult Wait(uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> lock(mutex_);
    // A zero wait is a look, not a sleep: a timed futex wait would cost a wake-up per pass.
    if (timeoutMs == 0) return signalled_ ? WaitResult::Signalled : WaitResult::Timeout;
    if (cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
      return WaitResult::Signalled;
    }
    return WaitResult::Timeout;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace

std::unique_ptr<Event> Event::CreateManualReset() { return std::make_unique<PosixEvent>(); }

}  // namespace platform
