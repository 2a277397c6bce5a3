#include "platform/sim.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

int ReadSwitch() {
  const char* v = std::getenv("TARNWICK_SIM");
  return (v != nullptr && std::strcmp(v, "1") == 0) ? 1 : 0;
}

std::atomic<int>& Switch() {
  static std::atomic<int> on{ReadSwitch()};
  return on;
}

}  // namespace

bool SimulationEnabled() { return Switch().load(std::memory_order_relaxed) != 0; }

void SetSimulationForTesting(bool on) { Switch().store(on ? 1 : 0); }

}  // namespace platform
