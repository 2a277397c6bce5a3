// The three exports over one process-wide state: the mode the last search chose, the handle of
// the last HID search, and the handles this library handed out (so that no other value is ever
// taken for one).
#include <memory>
#include <mutex>
#include <set>

#include "disk_link.h"
#include "hid_link.h"
#include "jrs_3G_usb.h"
#include "sim/card_terminal.h"
#include "sim/hook.h"
#include "status.h"

// With simulation on, the library comes up with a simulated terminal attached.
TW_SIMULATION_HOOK(sim::InstallDefaultTerminal)

namespace {

namespace hid = platform::hid;
namespace scsi = platform::scsi;
using jrs::Status;

enum class Mode { kDisk = 0, kHid = 1, kNone = -1 };

// What a caller's slot holds: one open terminal.
struct Terminal {
  scsi::Device* disk = nullptr;
  hid::Device* hid = nullptr;
  ~Terminal() {
    scsi::Close(disk);
    hid::Close(hid);
  }
};

struct State {
  std::mutex mutex;
  Mode mode = Mode::kDisk;
  Terminal* hidSlot = nullptr;
  std::set<Terminal*> open;

  Terminal* Ours(void* handle) {
    auto* t = static_cast<Terminal*>(handle);
    return open.count(t) != 0 ? t : nullptr;
  }
  Terminal* Keep(std::unique_ptr<Terminal> t) {
    open.insert(t.get());
    return t.release();
  }
  void Drop(Terminal* t) {
    if (t == nullptr) return;
    if (t == hidSlot) hidSlot = nullptr;
    open.erase(t);
    delete t;
  }
};

State& Library() {
  static State state;
  return state;
}

}  // namespace

JRS_USB_API int JRS_USB_CALL FindOpenUDev(void** slot) {
  if (slot == nullptr) return 0;
  State& s = Library();
  std::lock_guard<std::mutex> lock(s.mutex);
  Terminal* held = s.Ours(*slot);
  if (held != nullptr && held->disk != nullptr) {
    // Already open over mass storage: searching again would only find it busy.
    s.mode = Mode::kDisk;
    return 1;
  }
  if (held == nullptr) {
    if (scsi::Device* disk = jrs::FindDiskTerminal()) {
      auto t = std::make_unique<Terminal>();
      t->disk = disk;
      *slot = s.Keep(std::move(t));
      s.mode = Mode::kDisk;
      return 1;
    }
  }
  if (hid::Device* device = jrs::FindHidTerminal()) {
    s.Drop(s.hidSlot);
    auto t = std::make_unique<Terminal>();
    t->hid = device;
    s.hidSlot = s.Keep(std::move(t));
    *slot = s.hidSlot;
    s.mode = Mode::kHid;
    return 1;
  }
  s.mode = Mode::kNone;
  return 0;
}

JRS_USB_API int JRS_USB_CALL USBTransfer(void* handle, unsigned char* request, int requestLength, unsigned char* reply,
                                         int* replyLength, int timeout) {
  State& s = Library();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto length = static_cast<uint16_t>(requestLength);
  const auto seconds = static_cast<uint8_t>(timeout);
  const bool missing =
      request == nullptr || length == 0 || reply == nullptr || replyLength == nullptr || *replyLength < 0;
  switch (s.mode) {
    case Mode::kDisk: {
      if (handle == nullptr || missing) return jrs::ExportCode(Status::kMissingArgument);
      Terminal* t = s.Ours(handle);
      if (t == nullptr || t->disk == nullptr) return jrs::ExportCode(Status::kSendFailed);
      return jrs::ExportCode(
          jrs::DiskTransfer(t->disk, request, length, reply, static_cast<uint32_t>(*replyLength), seconds));
    }
    case Mode::kHid: {
      // The terminal is opened afresh for every transfer and closed after it, whatever happens.
      s.Drop(s.hidSlot);
      std::unique_ptr<hid::Device, void (*)(hid::Device*)> device(jrs::FindHidTerminal(), hid::Close);
      if (device == nullptr) return jrs::ExportCode(Status::kNoTerminal);
      if (missing) return jrs::ExportCode(Status::kMissingArgument);
      return jrs::ExportCode(
          jrs::HidTransfer(device.get(), request, length, reply, static_cast<uint32_t>(*replyLength), seconds));
    }
    case Mode::kNone:
      break;
  }
  return jrs::ExportCode(Status::kNoTerminal);
}

JRS_USB_API int JRS_USB_CALL CloseUDev(void** slot) {
  State& s = Library();
  std::lock_guard<std::mutex> lock(s.mutex);
  switch (s.mode) {
    case Mode::kDisk: {
      if (slot == nullptr || *slot == nullptr) return 1;
      Terminal* t = s.Ours(*slot);
      if (t == nullptr) return 0;
      s.Drop(t);
      *slot = nullptr;
      return 1;
    }
    case Mode::kHid:
      s.Drop(s.hidSlot);
      return 1;
    case Mode::kNone:
      break;
  }
  return 0;
}
