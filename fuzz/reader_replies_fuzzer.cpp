// Whatever a reader sends back: the reply check, the HID reassembly of input reports and the
// serial reads that follow a request. The fuzzer's bytes are the reports / the line; the reply
// never passes its buffer, and what is taken has the preamble and room for SW3.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame.h"
#include "hid_link.h"
#include "platform/hid_virtual.h"
#include "platform/serial_virtual.h"
#include "platform/sim.h"
#include "serial_link.h"

namespace {

// A device that answers every request with the fuzzer's bytes, cut into 65-byte reports.
class ScriptedHid : public platform::hid::VirtualDevice {
 public:
  platform::hid::Attributes GetAttributes() override { return {0x2796, 0x1001, 1}; }
  bool OnOutputReport(const uint8_t*, size_t) override { return true; }
  platform::hid::IoResult OnInputReport(uint8_t* report, size_t size, uint32_t) override {
    if (at >= length) return platform::hid::IoResult::TimedOut;
    const size_t n = length - at < size ? length - at : size;
    std::memset(report, 0, size);
    std::memcpy(report, data + at, n);
    at += n;
    return platform::hid::IoResult::Ok;
  }
  const uint8_t* data = nullptr;
  size_t length = 0, at = 0;
};

class ScriptedLine : public platform::serial::VirtualLink {
 public:
  bool OnWrite(const uint8_t*, size_t) override { return true; }
  long OnRead(uint8_t* out, size_t size, uint32_t) override {
    const size_t n = length - at < size ? length - at : size;
    std::memcpy(out, data + at, n);
    at += n;
    return static_cast<long>(n);
  }
  const uint8_t* data = nullptr;
  size_t length = 0, at = 0;
};

const uint8_t kRequest[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED};

void Check(vnsdt::Status s, const uint8_t* reply, size_t size, size_t capacity) {
  if (size > capacity) std::abort();
  if (s == vnsdt::Status::kOk && (size < vnsdt::kReplyHeaderSize || !vnsdt::HasPreamble(reply))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    platform::SetSimulationForTesting(true);
    return true;
  }();
  (void)ready;
  vnsdt::CheckReply(data, size, size > 0 ? data[0] : -1);

  // The smaller reply buffer of the find-card command too.
  for (size_t capacity : {vnsdt::kReplyBufferSize, vnsdt::kFindCardReplyBufferSize}) {
    auto device = std::make_shared<ScriptedHid>();
    device->data = data;
    device->length = size;
    platform::hid::UnregisterAllVirtual();
    platform::hid::RegisterVirtual(device);
    for (int transType : {1, 2}) {
      device->at = 0;
      vnsdt::Hid().transType = transType;
      uint8_t reply[vnsdt::kReplyBufferSize];
      uint16_t replySize = 0;
      vnsdt::HidExchange x{1001, 1, kRequest, sizeof kRequest, 0, reply, capacity};
      const vnsdt::Status s = vnsdt::RunHidExchange(x);
      replySize = x.replySize;
      Check(s, reply, replySize, capacity);
    }
    platform::hid::UnregisterAllVirtual();

    auto line = std::make_shared<ScriptedLine>();
    line->data = data;
    line->length = size;
    platform::serial::BindVirtual(7, line);
    uint8_t reply[vnsdt::kReplyBufferSize];
    size_t replySize = 0;
    const vnsdt::Status s = vnsdt::RunSerialExchange(7, kRequest, sizeof kRequest, 0, reply, capacity, &replySize);
    Check(s, reply, replySize, capacity);
    platform::serial::UnbindVirtual(7);
  }
  return 0;
}
