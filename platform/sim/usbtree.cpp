// USB tree walk: the OS backend, or the virtual trees while simulation is on.
#include "platform/sim.h"
#include "platform/usbtree_virtual.h"
#include "usbtree_os.h"
#include "virtual_registry.h"

namespace platform::usbtree {
namespace {

using Registry = sim::VirtualRegistry<const VirtualDevice>;
constexpr int kMaxDepth = 16;

void WalkPorts(const VirtualDevice& hub, const std::function<void(const DeviceId&)>& visit, int depth) {
  if (depth > kMaxDepth) return;
  for (const auto& device : hub.ports) {
    if (!device) continue;
    visit(device->id);
    WalkPorts(*device, visit, depth + 1);
  }
}

}  // namespace

void RegisterVirtual(std::shared_ptr<const VirtualDevice> rootHub) { Registry::Instance().Add(std::move(rootHub)); }
void UnregisterVirtual(const std::shared_ptr<const VirtualDevice>& rootHub) { Registry::Instance().Remove(rootHub); }
void UnregisterAllVirtual() { Registry::Instance().Clear(); }

void Walk(const std::function<void(const DeviceId&)>& visit) {
  if (!SimulationEnabled()) {
    os::Walk(visit);
    return;
  }
  Registry& registry = Registry::Instance();
  for (int i = 0;; ++i) {
    const unsigned id = registry.IdAt(i);
    if (id == 0) break;
    if (auto root = registry.FindId(id)) WalkPorts(*root, visit, 0);
  }
}

}  // namespace platform::usbtree
