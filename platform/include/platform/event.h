// A manual-reset event shared by two threads (CreateEventW on Windows, a condition variable on
// Linux).
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

enum class WaitResult { Signalled, Timeout, Failed };

class Event {
 public:
  // null when the event cannot be created.
  static std::unique_ptr<Event> CreateManualReset();
  virtual ~Event() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  virtual WaitResult Wait(uint32_t timeoutMs) = 0;
};

}  // namespace platform
