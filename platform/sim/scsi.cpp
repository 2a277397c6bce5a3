// SCSI entry points: the OS backend, or the virtual targets while simulation is on.
#include <cstdlib>
#include <new>

#include "platform/scsi_virtual.h"
#include "platform/sim.h"
#include "scsi_os.h"
#include "virtual_registry.h"

namespace platform::scsi {
namespace {

using Registry = sim::VirtualRegistry<VirtualTarget>;
constexpr char kVirtualPrefix[] = "sim:scsi:";

class VirtualHandle final : public Device {
 public:
  explicit VirtualHandle(std::shared_ptr<VirtualTarget> t) : target_(std::move(t)) {}
  Result Execute(const Command& command, Outcome* outcome) override {
    if (!Valid(command) || outcome == nullptr) return Result::Refused;
    if (!Registry::Instance().Contains(target_)) return Result::Failed;
    Outcome out;
    const Result r = target_->OnCommand(command, &out);
    if (r != Result::Ok) return r;
    if (out.senseLength > command.senseLength) out.senseLength = command.senseLength;
    if (out.transferred > command.length) out.transferred = command.length;
    *outcome = out;
    return r;
  }

 private:
  std::shared_ptr<VirtualTarget> target_;
};

}  // namespace

bool Valid(const Command& c) {
  if (c.cdbLength == 0 || c.cdbLength > kMaxCdb || c.senseLength > kMaxSense) return false;
  if ((c.direction == Direction::None) != (c.length == 0)) return false;
  if (c.length != 0 && c.data == nullptr) return false;
  return c.transfer == Transfer::Direct || c.length <= kMaxBuffered;
}

void RegisterVirtual(std::shared_ptr<VirtualTarget> target) { Registry::Instance().Add(std::move(target)); }
void UnregisterVirtual(const std::shared_ptr<VirtualTarget>& target) { Registry::Instance().Remove(target); }
void UnregisterAllVirtual() { Registry::Instance().Clear(); }
int VirtualCount() { return Registry::Instance().Count(); }

std::vector<std::string> DiskPaths() {
  if (!SimulationEnabled()) return os::DiskPaths();
  std::vector<std::string> paths;
  for (int i = 0;; ++i) {
    const unsigned id = Registry::Instance().IdAt(i);
    if (id == 0) break;
    paths.push_back(kVirtualPrefix + std::to_string(id));
  }
  return paths;
}

Device* Open(const std::string& path) {
  if (path.rfind(kVirtualPrefix, 0) != 0) return SimulationEnabled() ? nullptr : os::Open(path);
  const unsigned id = static_cast<unsigned>(std::strtoul(path.c_str() + sizeof kVirtualPrefix - 1, nullptr, 10));
  std::shared_ptr<VirtualTarget> target = Registry::Instance().FindId(id);
  return target ? new (std::nothrow) VirtualHandle(std::move(target)) : nullptr;
}

void Close(Device* device) { delete device; }

}  // namespace platform::scsi
