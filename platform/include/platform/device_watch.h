// Notifications of USB devices that arrive or go away, from the system itself: udev's netlink
// monitor on Linux (USB devices, and disks for the vendor and model a storage device reports),
// the configuration manager's device-interface notifications on Windows (USB devices). Nothing
// polls: the watch sleeps until the system has news.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform::device_watch {

struct Change {
  bool arrived = false;
  uint16_t vendorId = 0;  // 0 when the system did not say (a disk)
  uint16_t productId = 0;
  // A disk's vendor and model as its SCSI inquiry gives them ("Vennick", "QRM-417B"); empty
  // for other devices.
  std::string vendorName;
  std::string model;
};

class Watch {
 public:
  virtual ~Watch() = default;
};

// Starts watching; `notify` runs on a thread of the watch's (never after the watch is
// destroyed). Null when the system offers no notifications here (a container without udev, Wine).
std::unique_ptr<Watch> Start(std::function<void(const Change&)> notify);

}  // namespace platform::device_watch
