// The process's reader table: up to 10 entries, each a reader (with the key library's handle
// of the key in it) or a key's serial number (with the PIN cached for it). Every change is
// made under the reader lock, the named object "MORVEL_READER_HANDLE_MUTEX_NAME" that all
// processes loading the provider share; readers of the table only take the process's own lock.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gea.h"
#include "secret.h"
#include "status.h"

namespace csp {

constexpr size_t kReaderTableSize = 10;
constexpr const char* kReaderLockName = "MORVEL_READER_HANDLE_MUTEX_NAME";
constexpr uint32_t kReaderLockPollMs = 300;
// A holder that never lets go (a hung process) must not hang every other one for good.
constexpr uint32_t kReaderLockTimeoutMs = 60000;

class ReaderTable {
 public:
  // Adds the reader or replaces its handle; kTableFull when no entry is free, kInternal when
  // the reader lock cannot be had.
  Result AddReader(const std::string& reader, HS_HANDLE device);
  // The handle the reader had (null when it was not in the table).
  HS_HANDLE RemoveReader(const std::string& reader);
  std::optional<HS_HANDLE> Device(const std::string& reader) const;
  // The readers in the order they were added.
  std::vector<std::string> Readers() const;

  Result StorePin(const std::string& serial, const Secret& pin);
  std::optional<Secret> Pin(const std::string& serial) const;
  void ForgetPin(const std::string& serial);

  // Every entry out, PINs wiped; the handles it held (for disconnecting).
  std::vector<HS_HANDLE> Clear();

 private:
  struct Entry {
    std::string name;
    HS_HANDLE device = nullptr;
    Secret pin;
  };
  template <typename Change>
  Result Locked(Change change);

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace csp
