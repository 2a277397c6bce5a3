#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {
namespace {

// What the thread and its owner share; the last of the two to let go frees it.
struct State {
  std::function<void()> body;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
};

void* Run(void* arg) {
  auto* holder = static_cast<std::shared_ptr<State>*>(arg);
  std::shared_ptr<State> state = std::move(*holder);
  delete holder;
  try {
    state->body();
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->done = true;
  }
  state->ended.notify_all();
  return nullptr;
}

class PosixThread final : public Thread {
 public:
  PosixThread(pthread_t t, std::shared_ptr<State> s) : thread_(t), state_(std::move(s)) {}
  ~PosixThread() override { pthread_detach(thread_); }
  bool Running() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return !state_->done;
  }
  bool Join(uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return state_->done; });
  }
  bool SetTimeCritical() override {
    sched_param p = {};
    p.sched_priority = sched_get_priority_max(SCHED_RR);
    return pthread_setschedparam(thread_, SCHED_RR, &p) == 0;
  }

 private:
  pthread_t thread_;
  std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<Thread> Thread::Start(std::function<void()> body) {
  auto state = std::make_shared<State>();
  state->body = std::move(body);
  auto* holder = new std::shared_ptr<State>(state);
  pthread_t t;
  if (pthread_create(&t, nullptr, Run, holder) != 0) {
    delete holder;
    return nullptr;
  }
  return std::make_unique<PosixThread>(t, std::move(state));
}

}  // namespace platform
