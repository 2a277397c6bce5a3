// What every stand-in keeps of its simulated device for tests: named settings, results a test
// forces per function, and the calls counted per function. A stand-in exports Control and
// Calls over it (SimJL_Control, SimDevtool_Calls, ...). Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace standin {

class Device {
 public:
  // Control with this value clears a forced result (or returns a setting to following the
  // environment, where the stand-in reads one).
  static constexpr int kNotForced = 0x7FFFFFFF;

  Device(std::map<std::string, int> defaults, std::set<std::string> forceable)
      : defaults_(std::move(defaults)), settings_(defaults_), forceable_(std::move(forceable)) {}

  // One call of `function`, counted. The result a test forced under `forceKey`, if any.
  std::optional<int> Enter(const char* function, const char* forceKey = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_[function];
    if (forceKey == nullptr) return std::nullopt;
    const auto it = forced_.find(forceKey);
    return it == forced_.end() ? std::nullopt : std::optional<int>(it->second);
  }

  int Setting(const char* name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = settings_.find(name);
    return it == settings_.end() ? 0 : it->second;
  }

  // "reset" restores the defaults, clears what was forced and forgets the calls; a setting's
  // name sets it; a forceable function's key forces its result (kNotForced clears it). Other
  // names are ignored.
  void Control(const char* name, int value) {
    if (name == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key(name);
    if (key == "reset") {
      settings_ = defaults_;
      forced_.clear();
      calls_.clear();
    } else if (settings_.count(key) != 0) {
      settings_[key] = value;
    } else if (forceable_.count(key) != 0) {
      if (value == kNotForced) {
        forced_.erase(key);
      } else {
        forced_[key] = value;
      }
    }
  }

  int Calls(const char* function) const {
    if (function == nullptr) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = calls_.find(function);
    return it == calls_.end() ? 0 : it->second;
  }

 private:
  mutable std::mutex mutex_;
  const std::map<std::string, int> defaults_;
  std::map<std::string, int> settings_;
  const std::set<std::string> forceable_;
  std::map<std::string, int> forced_;
  std::map<std::string, int> calls_;
};

}  // namespace standin
