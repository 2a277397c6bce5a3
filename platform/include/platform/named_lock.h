// Locks between processes, by name.
//
// NamedLock: shared by every process of the user's session that opens the same name: a named
// auto-reset event created signalled on Windows (wait to enter, set to leave); on Linux an flock
// on a lock file of the user's (the name gets the user id appended), which the system frees
// when its holder dies. Every member is thread-safe; a thread may leave what another thread
// entered through the same object.
//
// ExistenceLock: works by the existence of a named object: whoever holds it has created the
// object, everyone else waits while the object exists. Windows: a named mutex, created not
// owned, inheritable, open to everyone (a null DACL); the creator checks that it made the object
// rather than opening an existing one. Linux: an exclusive flock on a file of that name in the
// temporary folder, released by the system if the holder dies.
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

class ExistenceLock {
 public:
  // Blocks, polling every `pollMs`, until no other holder exists, then takes the lock. Null
  // after `timeoutMs` without success or when the object cannot be made. Thread-safe; the lock
  // is held until the object is destroyed (also against other threads of this process).
  static std::unique_ptr<ExistenceLock> Acquire(const std::string& name, uint32_t pollMs, uint32_t timeoutMs);
  virtual ~ExistenceLock() = default;

  // True while some holder (of this or another process) has the object.
  static bool Held(const std::string& name);
};

}  // namespace platform
