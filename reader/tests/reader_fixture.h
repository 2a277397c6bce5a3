// A simulated reader on each transport: a virtual HID reader (port 1001) and one on COM 4.
// Parameterised tests run the same checks over both.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "command.h"
#include "export_codes.h"
#include "frame.h"
#include "platform/hid_virtual.h"
#include "platform/serial_virtual.h"
#include "platform/sim.h"
#include "sim/reader.h"
#include "vnsdtapi.h"

namespace test {

constexpr int kSerialPort = 4;
constexpr int kHidPort = 1001;

class BothLinks : public ::testing::TestWithParam<vnsdt::Link> {
 protected:
  void TearDown() override {
    HID_ClosePort(kHidPort);
    HID_SetTransType(1);
  }
  vnsdt::Link link() const { return GetParam(); }
  bool hid() const { return link() == vnsdt::Link::Hid; }
  int port() const { return hid() ? kHidPort : kSerialPort; }
  sim::ReaderFirmware& firmware() { return hid() ? hid_->firmware : serial_->firmware; }
  sim::LinkFaults& faults() { return hid() ? hid_->faults : serial_->faults; }

  sim::ScopedReaders readers_{kSerialPort};
  const std::shared_ptr<sim::HidReader>& hid_ = readers_.hid;
  const std::shared_ptr<sim::SerialReader>& serial_ = readers_.serial;
};

inline std::string LinkName(const ::testing::TestParamInfo<vnsdt::Link>& i) {
  return i.param == vnsdt::Link::Serial ? "Serial" : "Hid";
}

// The request frame a command must send.
inline sim::Bytes Frame(uint8_t command, uint8_t parameter, const sim::Bytes& data) {
  uint8_t out[vnsdt::kLargeFrameBufferSize];
  const size_t n = vnsdt::BuildFrame(data.data(), data.size(), command, parameter, out, sizeof out);
  return sim::Bytes(out, out + n);
}

}  // namespace test
