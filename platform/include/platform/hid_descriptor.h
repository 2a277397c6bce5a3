// What a HID report descriptor says about a device, worked out the way the Windows class driver
// does it: the top-level collection's usage, and per kind the longest report plus its ID byte.
// Used where the system does not do it for us (hidraw) and for virtual devices. Pure function:
// thread-safe, never blocks; bad input gives what was understood up to the fault.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hid.h"

namespace platform::hid {

struct DescriptorInfo {
  Caps caps;
  bool numberedReports = false;  // the device puts a report ID in front of its reports
};

DescriptorInfo ParseReportDescriptor(const uint8_t* descriptor, size_t size);

}  // namespace platform::hid
