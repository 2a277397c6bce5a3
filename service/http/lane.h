// A lane: one thread that runs jobs in the order they were queued, with a bound on how many may
// wait. The thread starts with the first job and sleeps on a condition while there is none, so
// an idle lane never wakes.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace http {

class Lane {
 public:
  explicit Lane(size_t capacity);
  // Stops as Stop() does, with no wait.
  ~Lane();
  Lane(const Lane&) = delete;
  Lane& operator=(const Lane&) = delete;

  // Queues a job; false (and the job is left untouched) when `capacity` jobs already wait or the
  // lane has stopped.
  bool Push(std::function<void()>& job);
  // Drops the waiting jobs (destroyed on this thread), then waits up to `bound` for the one that
  // runs. true when none runs any more; false when one still does: it finishes on its own, and
  // whatever it holds must outlive it.
  bool Stop(std::chrono::milliseconds bound);
  // Jobs waiting, not counting the one that runs.
  size_t Waiting() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace http
