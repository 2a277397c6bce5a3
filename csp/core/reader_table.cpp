#include "reader_table.h"

#include <algorithm>

#include "platform/named_lock.h"

namespace csp {

template <typename Change>
Result ReaderTable::Locked(Change change) {
  const auto lock = platform::ExistenceLock::Acquire(kReaderLockName, kReaderLockPollMs, kReaderLockTimeoutMs);
  if (!lock) return Result::Fail(Status::kInternal);
  std::lock_guard<std::mutex> guard(mutex_);
  return change();
}

Result ReaderTable::AddReader(const std::string& reader, HS_HANDLE device) {
  return Locked([&] {
    for (auto& e : entries_) {
      if (e.device != nullptr && e.name == reader) {
        e.device = device;
        return Result::Ok();
      }
    }
    if (entries_.size() >= kReaderTableSize) return Result::Fail(Status::kTableFull);
    entries_.push_back(Entry{reader, device, Secret()});
    return Result::Ok();
  });
}

HS_HANDLE ReaderTable::RemoveReader(const std::string& reader) {
  HS_HANDLE old = nullptr;
  Locked([&] {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const Entry& e) { return e.device != nullptr && e.name == reader; });
    if (it != entries_.end()) {
      old = it->device;
      entries_.erase(it);
    }
    return Result::Ok();
  });
  return old;
}

std::optional<HS_HANDLE> ReaderTable::Device(const std::string& reader) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& e : entries_) {
    if (e.device != nullptr && e.name == reader) return e.device;
  }
  return std::nullopt;
}

std::vector<std::string> ReaderTable::Readers() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> out;
  for (const auto& e : entries_) {
    if (e.device != nullptr) out.push_back(e.name);
  }
  return out;
}

Result ReaderTable::StorePin(const std::string& serial, const Secret& pin) {
  return Locked([&] {
    for (auto& e : entries_) {
      if (e.device == nullptr && e.name == serial) {
        e.pin = pin;
        return Result::Ok();
      }
    }
    if (entries_.size() >= kReaderTableSize) return Result::Fail(Status::kTableFull);
    entries_.push_back(Entry{serial, nullptr, pin});
    return Result::Ok();
  });
}

std::optional<Secret> ReaderTable::Pin(const std::string& serial) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& e : entries_) {
    if (e.device == nullptr && e.name == serial && !e.pin.empty()) return e.pin;
  }
  return std::nullopt;
}

void ReaderTable::ForgetPin(const std::string& serial) {
  Locked([&] {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& e) { return e.device == nullptr && e.name == serial; }),
                   entries_.end());
    return Result::Ok();
  });
}

std::vector<HS_HANDLE> ReaderTable::Clear() {
  std::vector<HS_HANDLE> handles;
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& e : entries_) {
    if (e.device != nullptr) handles.push_back(e.device);
  }
  entries_.clear();
  return handles;
}

}  // namespace csp
