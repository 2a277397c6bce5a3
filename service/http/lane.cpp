#include "lane.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "tw/log.h"

namespace http {

// Shared with the thread, which may outlive the lane when a job will not finish.
struct Lane::State {
  explicit State(size_t capacity) : capacity(capacity) {}

  const size_t capacity;
  mutable std::mutex mutex;
  std::condition_variable wake;  // a job arrived, or the lane stops
  std::condition_variable done;  // the running job returned
  std::deque<std::function<void()>> jobs;
  std::thread thread;
  bool running = false;
  bool stopping = false;

  static void Run(const std::shared_ptr<State>& self) {
    std::unique_lock<std::mutex> lock(self->mutex);
    for (;;) {
      self->wake.wait(lock, [&] { return self->stopping || !self->jobs.empty(); });
      if (self->stopping) break;
      std::function<void()> job = std::move(self->jobs.front());
      self->jobs.pop_front();
      self->running = true;
      lock.unlock();
      try {
        job();
      } catch (const std::exception& e) {
        LOG_ERROR("Lane job:{}", e.what());
      }
      job = nullptr;  // what it holds goes before the lane counts as free
      lock.lock();
      self->running = false;
      self->done.notify_all();
    }
  }
};

Lane::Lane(size_t capacity) : state_(std::make_shared<State>(capacity)) {}

Lane::~Lane() { Stop(std::chrono::milliseconds(0)); }

bool Lane::Push(std::function<void()>& job) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->stopping || state_->jobs.size() >= state_->capacity) return false;
  if (!state_->thread.joinable()) {
    state_->thread = std::thread([state = state_] { State::Run(state); });
  }
  state_->jobs.push_back(std::move(job));
  state_->wake.notify_one();
  return true;
}

bool Lane::Stop(std::chrono::milliseconds bound) {
  std::deque<std::function<void()>> dropped;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->stopping = true;
  dropped.swap(state_->jobs);
  state_->wake.notify_one();
  const bool idle = state_->done.wait_for(lock, bound, [&] { return !state_->running; });
  std::thread thread = std::move(state_->thread);
  lock.unlock();
  dropped.clear();
  if (thread.joinable()) {
    if (idle) {
      thread.join();
    } else {
      thread.detach();
    }
  }
  return idle;
}

size_t Lane::Waiting() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->jobs.size();
}

}  // namespace http
