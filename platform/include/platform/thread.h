// Threads whose end can be seen even when they never ran their last line (Windows ends the
// other threads of an exiting process before its libraries unload), and their priority.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class Thread {
 public:
  // Starts `body` on a new thread. Null when the system cannot start one.
  static std::unique_ptr<Thread> Start(std::function<void()> body);
  // Leaves a running thread running (detached).
  virtual ~Thread() = default;
  // Does not block. false once the thread has ended, however it ended.
  virtual bool Running() = 0;
  // Blocks until the thread has ended, at most timeoutMs; true when it has.
  virtual bool Join(uint32_t timeoutMs) = 0;
  // Raises the thread to the highest priority of its class (Windows: time-critical; Linux: the
  // round-robin real-time class, which needs the right to it). Does not block. false: refused.
  virtual bool SetTimeCritical() = 0;
};

}  // namespace platform
