#include "ring.h"

namespace tablet {

// The named lock, then this process's own. Processes may die holding the named lock, and a
// Windows event stays taken then for every process of the session: it is waited for a bounded
// time, past which its holder is taken for dead (a live one keeps it for a few instructions)
// and the lock is freed again for the processes after. This process's own lock keeps its
// threads apart either way.
class PacketRing::Guard {
 public:
  explicit Guard(PacketRing& ring) : ring_(ring) {
    if (ring_.named_ != nullptr) {
      named_ = ring_.named_->Enter(kRingLockPatienceMs);
      if (!named_) ring_.named_->Leave();
    }
    ring_.local_.lock();
  }
  ~Guard() {
    ring_.local_.unlock();
    if (named_) ring_.named_->Leave();
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  PacketRing& ring_;
  bool named_ = false;
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
