// The part of platform/event.h every backend shares: the watchers.
#include <utility>

#include "platform/event.h"

namespace platform {

void Event::Set() {
  Signal();
  std::lock_guard<std::mutex> lock(watchMutex_);
  for (const auto& wake : watchers_) wake();
}

Event::Watch Event::OnSet(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(watchMutex_);
  const auto it = watchers_.insert(watchers_.end(), std::move(wake));
  // Released under the lock, so once the watch is gone no wake of it runs any more.
  return Watch(this, [this, it](void*) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    watchers_.erase(it);
  });
}

}  // namespace platform
