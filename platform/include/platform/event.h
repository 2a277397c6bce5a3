// Events shared by threads (CreateEventW on Windows, a condition variable on Linux): manual-reset
// (stays signalled until Reset) or auto-reset (one successful wait takes the signal). Every
// member is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

namespace platform {

enum class WaitResult { Signalled, Timeout, Failed };

// A wait with this time-out never times out.
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

class Event {
 public:
  // Not signalled at first. Null when the system cannot create one.
  static std::unique_ptr<Event> CreateManualReset();
  static std::unique_ptr<Event> CreateAutoReset(bool signalled = false);
  virtual ~Event() = default;

  // Does not block. Signals the event, then runs every watcher (below) on this thread.
  void Set();
  // Does not block.
  virtual void Reset() = 0;
  // Blocks at most timeoutMs (0: a look without sleeping; kWaitForever: no limit). An auto-reset
  // event is taken by the wait that sees it. Failed: the wait itself failed.
  virtual WaitResult Wait(uint32_t timeoutMs) = 0;

  // For a waiter that also blocks on something else (a device's read, a queue): `wake` runs on
  // the setting thread after every Set until the returned watch is released. It must not block
  // and must not call this event; the waiter then takes the signal with Wait(0).
  using Watch = std::shared_ptr<void>;
  Watch OnSet(std::function<void()> wake);

 protected:
  virtual void Signal() = 0;

 private:
  std::mutex watchMutex_;
  std::list<std::function<void()>> watchers_;
};

}  // namespace platform
