// The registry behind every kind of virtual device (HID, serial, and those that follow): devices
// in registration order, each with an id that stays its own after others leave, and an optional
// key (a COM number, say). Thread-safe. Built on first use, so that a library's start-up code
// may register devices before the globals of this file exist, and never destroyed, so that a
// device thread still running while the process exits finds it.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace platform::sim {

template <class Device>
class VirtualRegistry {
 public:
  static VirtualRegistry& Instance() {
    static VirtualRegistry* registry = [] {
      auto* made = new VirtualRegistry;
#if defined(__SANITIZE_ADDRESS__)
      // Kept on purpose; once a library holding it is unloaded nothing points at it any more.
      __lsan_ignore_object(made);
#endif
      return made;
    }();
    return *registry;
  }

  // Registers `device`; a device already holding `key` (when one is given) is replaced.
  unsigned Add(std::shared_ptr<Device> device, int key = kNoKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (key != kNoKey) EraseIf([key](const Entry& e) { return e.key == key; });
    entries_.push_back({nextId_, key, std::move(device)});
    return nextId_++;
  }
  void Remove(const std::shared_ptr<Device>& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    EraseIf([&device](const Entry& e) { return e.device == device; });
  }
  void RemoveKey(int key) {
    std::lock_guard<std::mutex> lock(mutex_);
    EraseIf([key](const Entry& e) { return e.key == key; });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }
  int Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(entries_.size());
  }
  // The id of the device at `index` in registration order; 0 when there is none.
  unsigned IdAt(int index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index >= 0 && static_cast<size_t>(index) < entries_.size() ? entries_[static_cast<size_t>(index)].id : 0;
  }
  std::shared_ptr<Device> FindId(unsigned id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
      if (e.id == id) return e.device;
    }
    return nullptr;
  }
  std::shared_ptr<Device> FindKey(int key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
      if (e.key == key) return e.device;
    }
    return nullptr;
  }
  // An unplugged device stays reachable through handles opened before; they ask this.
  bool Contains(const std::shared_ptr<Device>& device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&device](const Entry& e) { return e.device == device; });
  }

  static constexpr int kNoKey = -1;

 private:
  struct Entry {
    unsigned id;
    int key;
    std::shared_ptr<Device> device;
  };
  template <class Pred>
  void EraseIf(Pred pred) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), pred), entries_.end());
  }

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  unsigned nextId_ = 1;
};

}  // namespace platform::sim
