// The packet ring: 32 slots, a read and a write index, empty when they are equal; a full ring
// overwrites its oldest packet, so at most 31 are unread. Every access takes the ring lock, the
// named lock "ShareMemoryWritePacket" that every process of the session using the library
// shares (each keeps its own ring), and a lock of this process, which alone keeps its threads
// apart when the system refuses the named lock or its holder died holding it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/named_lock.h"
#include "pmtablet.h"

namespace tablet {

constexpr int kRingSlots = 32;
constexpr char kRingLockName[] = "ShareMemoryWritePacket";
// How long the ring waits for the named lock before taking its holder for dead.
constexpr uint32_t kRingLockPatienceMs = 1000;

class PacketRing {
 public:
  // Opens the named lock. Called once, by the library's lazy initialisation.
  void OpenLock();
  void Put(const PenPacket& packet);
  // false when the ring is empty.
  bool Take(PenPacket* packet);
  void Clear();
  int Unread();

 private:
  class Guard;
  std::unique_ptr<platform::NamedLock> named_;
  std::mutex local_;
  PenPacket slots_[kRingSlots] = {};
  int read_ = 0;
  int write_ = 0;
};

}  // namespace tablet
