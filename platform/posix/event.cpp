#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {
namespace {

class PosixEvent final : public Event {
 public:
  PosixEvent(bool autoReset, bool signalled) : autoReset_(autoReset), signalled_(signalled) {}

  void Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
  }
  WaitResult Wait(uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [this] { return signalled_; };
    // A zero wait is a look, not a sleep: a timed futex wait would cost a wake-up per pass.
    if (timeoutMs == kWaitForever) {
      cv_.wait(lock, ready);
    } else if (timeoutMs == 0 ? !signalled_ : !cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
      return WaitResult::Timeout;
    }
    if (autoReset_) signalled_ = false;
    return WaitResult::Signalled;
  }

 protected:
  void Signal() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = true;
    }
    if (autoReset_) {
      cv_.notify_one();
    } else {
      cv_.notify_all();
    }
  }

 private:
  const bool autoReset_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_;
};

}  // namespace

std::unique_ptr<Event> Event::CreateManualReset() { return std::make_unique<PosixEvent>(false, false); }
std::unique_ptr<Event> Event::CreateAutoReset(bool signalled) { return std::make_unique<PosixEvent>(true, signalled); }

}  // namespace platform
