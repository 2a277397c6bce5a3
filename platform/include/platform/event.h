// A manual-reset event shared by threads (CreateEventW on Windows, a condition variable on
// Linux). Every member is thread-safe.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

enum class WaitResult { Signalled, Timeout, Failed };

class Event {
 public:
  // Not signalled at first. Null when the system cannot create one.
  static std::unique_ptr<Event> CreateManualReset();
  virtual ~Event() = default;
  // Neither blocks. Set wakes every waiter; the event stays signalled until Reset.
  virtual void Set() = 0;
  virtual void Reset() = 0;
  // Blocks at most timeoutMs (0: a look without sleeping). Failed: the wait itself failed.
  virtual WaitResult Wait(uint32_t timeoutMs) = 0;
};

}  // namespace platform
