#include <map>
#include <mutex>

#include "platform/serial_virtual.h"
#include "serial_os.h"

namespace platform::serial {
namespace {

// Built on first use: a library's start-up code may bind links before this file's globals exist.
struct Links {
  std::mutex mutex;
  std::map<int, std::shared_ptr<VirtualLink>> byPort;
};
Links& Registry() {
  static Links links;
  return links;
}

class VirtualPort final : public Port {
 public:
  explicit VirtualPort(std::shared_ptr<VirtualLink> link) : link_(std::move(link)) {}
  bool SetQueues(uint32_t, uint32_t) override { return true; }
  bool SetLine(uint32_t) override { return true; }
  bool SetReadTimeouts(uint32_t, uint32_t perByteMs, uint32_t constantMs) override {
    perByteMs_ = perByteMs;
    constantMs_ = constantMs;
    return true;
  }
  bool Purge(bool, bool input) override {
    if (input) link_->OnPurge();
    return true;
  }
  bool Write(const uint8_t* data, size_t size) override { return link_->OnWrite(data, size); }
  long Read(uint8_t* data, size_t size) override {
    return link_->OnRead(data, size, static_cast<uint32_t>(perByteMs_ * size + constantMs_));
  }
  void ClearError() override {}

 private:
  std::shared_ptr<VirtualLink> link_;
  uint32_t perByteMs_ = 0;
  uint32_t constantMs_ = 0;
};

}  // namespace

void BindVirtual(int port, std::shared_ptr<VirtualLink> link) {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  Registry().byPort[port] = std::move(link);
}

void UnbindVirtual(int port) {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  Registry().byPort.erase(port);
}

std::string DeviceName(int port) { return os::DeviceName(port); }

Port* Open(int port) {
  {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    auto it = Registry().byPort.find(port);
    if (it != Registry().byPort.end()) return new VirtualPort(it->second);
  }
  return os::Open(port);
}

void Close(Port* port) { delete port; }

}  // namespace platform::serial
