// A lock shared by every process of the user's session that opens the same name: a named
// auto-reset event created signalled on Windows (wait to enter, set to leave), a POSIX named
// semaphore of count 1 on Linux (one per user: the name gets the user id appended). Every
// member is thread-safe; a thread may leave what another entered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"

namespace platform {

class NamedLock {
 public:
  // Opens the lock of that name, creating it free when no process holds it open. Does not
  // block. Null when the system refuses (no rights, bad name).
  static std::unique_ptr<NamedLock> Open(const std::string& name);
  virtual ~NamedLock() = default;
  // Blocks until the lock is free, at most timeoutMs (kWaitForever: no limit), and takes it.
  // false: not taken (time-out, or the wait failed).
  virtual bool Enter(uint32_t timeoutMs = kWaitForever) = 0;
  // Frees the lock. Does not block.
  virtual void Leave() = 0;
};

// Enters on construction (no time-out), leaves on destruction; a null lock does nothing.
class NamedLockGuard {
 public:
  explicit NamedLockGuard(NamedLock* lock) : lock_(lock != nullptr && lock->Enter() ? lock : nullptr) {}
  ~NamedLockGuard() {
    if (lock_ != nullptr) lock_->Leave();
  }
  NamedLockGuard(const NamedLockGuard&) = delete;
  NamedLockGuard& operator=(const NamedLockGuard&) = delete;

 private:
  NamedLock* lock_;
};

}  // namespace platform
