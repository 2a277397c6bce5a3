// SCSI commands to disks through the system's pass-through: how a program talks to a USB
// mass-storage device that takes vendor commands.
// Backends: win32/scsi.cpp (SetupAPI lists of the disk-drive class and the disk interfaces,
// IOCTL_SCSI_PASS_THROUGH / _DIRECT on overlapped handles), posix/scsi.cpp (SG_IO on the
// /dev/sg* nodes of direct-access devices, or on /dev/sd* when the sg driver is not loaded),
// sim/scsi.cpp (the virtual targets of platform/scsi_virtual.h, listed instead of the system's
// disks while simulation is on).
//
// Threads: DiskPaths and Open may run on any thread. One Device is used by one thread at a time;
// Close may not race its own commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::scsi {

enum class Direction : uint8_t { None, In, Out };

// How the data travel. Windows copies Buffered data through the request itself
// (IOCTL_SCSI_PASS_THROUGH, for short replies such as INQUIRY) and hands Direct data to the
// driver in a buffer of its own (IOCTL_SCSI_PASS_THROUGH_DIRECT). Linux moves both the same way.
enum class Transfer : uint8_t { Buffered, Direct };

constexpr size_t kMaxCdb = 16;
constexpr size_t kMaxSense = 32;
// Buffered data share the request buffer with the request and the sense; larger transfers go
// Direct.
constexpr uint32_t kMaxBuffered = 4096;

struct Command {
  // The address Windows asks for; the disk's port driver puts in the disk's own. Linux talks to
  // the node's device and ignores it.
  uint8_t pathId = 0;
  uint8_t targetId = 0;
  uint8_t lun = 0;
  uint8_t cdb[kMaxCdb] = {};
  uint8_t cdbLength = 0;    // 1..16
  uint8_t senseLength = 0;  // sense bytes asked for, at most kMaxSense
  Direction direction = Direction::None;
  Transfer transfer = Transfer::Direct;
  uint8_t* data = nullptr;  // `length` bytes: sent for Out, received for In; null only with 0
  uint32_t length = 0;      // 0 exactly when the direction is None
  // Seconds the target may take; 0 leaves it to the system (Windows refuses 0, Linux takes its
  // default of 60 s).
  uint32_t timeoutSeconds = 0;
};

struct Outcome {
  uint8_t status = 0;  // the target's SCSI status: 0 GOOD, 2 CHECK CONDITION, 8 BUSY, ...
  uint8_t sense[kMaxSense] = {};
  uint8_t senseLength = 0;   // sense bytes the target gave, at most the length asked for
  uint32_t transferred = 0;  // data bytes moved, at most the command's length
};

enum class Result {
  Ok,        // the command ran; the Outcome says how the target answered
  Refused,   // the command breaks the rules of Command above; nothing was sent
  Failed,    // the system refused it: the device is gone, not a SCSI-capable disk, or access is denied
  TimedOut,  // no completion within the time-out; the command was aborted
};

// An open disk. Closing it (Close below) releases the OS handle.
class Device {
 public:
  virtual ~Device() = default;
  // Runs one command and waits for it: blocks until the target completes it, at most its
  // time-out plus a few seconds for the system to abort it. A command the system never gives
  // back after the abort keeps buffers of the backend's own, never the caller's. In data are
  // meaningful only on Ok; `outcome` is written on Ok only.
  virtual Result Execute(const Command& command, Outcome* outcome) = 0;
};

// Whether `command` keeps the rules above; every backend refuses the others the same way.
bool Valid(const Command& command);

// Paths of the disks to probe, in the system's order. Windows: the present disk interfaces,
// index by index for as long as the present disk-drive devices have an entry at the same index;
// Linux: /dev/sgN of the direct-access SCSI
// devices in N order, else /dev/sdX. Blocks on no device; empty when there are none.
std::vector<std::string> DiskPaths();
// Opens a disk for reading and writing, shared with other handles, for overlapped I/O on
// Windows (non-blocking open on Linux). Does not block. Null: the path does not exist or access
// is denied.
Device* Open(const std::string& path);
// Releases the handle; null is allowed.
void Close(Device* device);

}  // namespace platform::scsi
