// Virtual SCSI targets for simulation and tests. While simulation is on, DiskPaths lists the
// registered targets (in registration order) instead of the system's disks; opening one gives a
// handle whose commands reach the target below. A target unregistered while handles are open
// is unplugged: every command on those handles fails.
#pragma once

#include <memory>

#include "platform/scsi.h"

namespace platform::scsi {

// What a virtual target implements. Commands reach it already checked (Valid); calls may come
// from any thread, the target guards itself.
class VirtualTarget {
 public:
  virtual ~VirtualTarget() = default;
  // Runs one command: reads `command.data` for Out, fills it for In, and sets the outcome.
  // Failed and TimedOut stand for what the system would report.
  virtual Result OnCommand(const Command& command, Outcome* outcome) = 0;
};

void RegisterVirtual(std::shared_ptr<VirtualTarget> target);
void UnregisterVirtual(const std::shared_ptr<VirtualTarget>& target);
void UnregisterAllVirtual();
int VirtualCount();

}  // namespace platform::scsi
