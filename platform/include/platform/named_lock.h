// A lock between processes that works by the existence of a named object: whoever holds it has
// created the object, everyone else waits while the object exists. Windows: a named mutex,
// created not owned, inheritable, open to everyone (a null DACL); the creator checks that it
// made the object rather than opening an existing one. Linux: an exclusive flock on a file of
// that name in the temporary folder, released by the system if the holder dies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class NamedLock {
 public:
  // Blocks, polling every `pollMs`, until no other holder exists, then takes the lock. Null
  // after `timeoutMs` without success or when the object cannot be made. Thread-safe; the lock
  // is held until the object is destroyed (also against other threads of this process).
  static std::unique_ptr<NamedLock> Acquire(const std::string& name, uint32_t pollMs, uint32_t timeoutMs);
  virtual ~NamedLock() = default;

  // True while some holder (of this or another process) has the object.
  static bool Held(const std::string& name);
};

}  // namespace platform
