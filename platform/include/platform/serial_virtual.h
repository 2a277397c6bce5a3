// Virtual serial links for simulation and tests: a COM number bound to an in-process device.
// Binding works with simulation on or off: tests bind links next to the system's ports.
#pragma once

#include <memory>

#include "platform/serial.h"

namespace platform::serial {

// What a virtual link implements. Calls may come from any thread; the link guards itself.
class VirtualLink {
 public:
  virtual ~VirtualLink() = default;
  // Bytes written by the host. false: the write fails.
  virtual bool OnWrite(const uint8_t* data, size_t size) = 0;
  // Bytes for the host: up to `size`, waiting at most timeoutMs in all.
  virtual long OnRead(uint8_t* data, size_t size, uint32_t timeoutMs) = 0;
  virtual void OnPurge() {}
};

// While bound, opening COM `port` reaches the link instead of the system's port. Binding a port
// again replaces its link.
void BindVirtual(int port, std::shared_ptr<VirtualLink> link);
void UnbindVirtual(int port);

}  // namespace platform::serial
