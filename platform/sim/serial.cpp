// Serial entry points: a COM number bound to a virtual link, or the OS backend.
#include <new>

#include "platform/serial_virtual.h"
#include "serial_os.h"
#include "virtual_registry.h"

namespace platform::serial {
namespace {

using Registry = sim::VirtualRegistry<VirtualLink>;

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

void BindVirtual(int port, std::shared_ptr<VirtualLink> link) { Registry::Instance().Add(std::move(link), port); }
void UnbindVirtual(int port) { Registry::Instance().RemoveKey(port); }

std::string DeviceName(int port) { return os::DeviceName(port); }

Port* Open(int port) {
  if (std::shared_ptr<VirtualLink> link = Registry::Instance().FindKey(port)) {
    return new (std::nothrow) VirtualPort(std::move(link));
  }
  return os::Open(port);
}

void Close(Port* port) { delete port; }

}  // namespace platform::serial
