#include "ring.h"

namespace tablet {

// The named lock, or this process's own when there is none.
class PacketRing::Guard {
 public:
  explicit Guard(PacketRing& ring) : ring_(ring) {
    if (ring_.named_ == nullptr || !ring_.named_->Enter()) {
      ring_.local_.lock();
      local_ = true;
    }
  }
  ~Guard() {
    if (local_) {
      ring_.local_.unlock();
    } else {
      ring_.named_->Leave();
    }
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  PacketRing& ring_;
  bool local_ = false;
};

void PacketRing::OpenLock() {
  if (named_ == nullptr) named_ = platform::NamedLock::Open(kRingLockName);
}

void PacketRing::Put(const PenPacket& packet) {
  Guard guard(*this);
  slots_[write_] = packet;
  write_ = (write_ + 1) % kRingSlots;
  if (write_ == read_) read_ = (read_ + 1) % kRingSlots;
}

bool PacketRing::Take(PenPacket* packet) {
  Guard guard(*this);
  if (read_ == write_) return false;
  *packet = slots_[read_];
  read_ = (read_ + 1) % kRingSlots;
  return true;
}

void PacketRing::Clear() {
  Guard guard(*this);
  read_ = write_ = 0;
}

int PacketRing::Unread() {
  Guard guard(*this);
  return (write_ - read_ + kRingSlots) % kRingSlots;
}

}  // namespace tablet
