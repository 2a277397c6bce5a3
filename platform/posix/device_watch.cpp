#include "platform/device_watch.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace platform::device_watch {
namespace {

uint16_t Hex16(const char* text) {
  if (text == nullptr) return 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 16);
  return end != text && value <= 0xFFFF ? static_cast<uint16_t>(value) : 0;
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

class UdevWatch final : public Watch {
 public:
  UdevWatch(udev* u, udev_monitor* monitor, int wake, std::function<void(const Change&)> notify)
      : udev_(u), monitor_(monitor), wake_(wake), notify_(std::move(notify)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~UdevWatch() override {
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    thread_.join();
    close(wake_);
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }

 private:
  void Run() {
    pollfd fds[2] = {{udev_monitor_get_fd(monitor_), POLLIN, 0}, {wake_, POLLIN, 0}};
    for (;;) {
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      udev_device* device = udev_monitor_receive_device(monitor_);
      if (device == nullptr) continue;
      Report(device);
      udev_device_unref(device);
    }
  }

  void Report(udev_device* device) {
    const char* action = udev_device_get_action(device);
    if (action == nullptr) return;
    Change change;
    if (std::strcmp(action, "add") == 0) {
      change.arrived = true;
    } else if (std::strcmp(action, "remove") != 0) {
      return;
    }
    const char* subsystem = udev_device_get_subsystem(device);
    if (subsystem != nullptr && std::strcmp(subsystem, "usb") == 0) {
      // The ids come with the event itself, so a device that has gone still names itself.
      change.vendorId = Hex16(udev_device_get_property_value(device, "ID_VENDOR_ID"));
      change.productId = Hex16(udev_device_get_property_value(device, "ID_MODEL_ID"));
      if (change.vendorId == 0) {
        // "PRODUCT=2796/1001/100": the kernel's own, without udev's database.
        const char* product = udev_device_get_property_value(device, "PRODUCT");
        if (product != nullptr) {
          char* end = nullptr;
          change.vendorId = static_cast<uint16_t>(std::strtoul(product, &end, 16));
          if (*end == '/') change.productId = static_cast<uint16_t>(std::strtoul(end + 1, nullptr, 16));
        }
      }
      if (change.vendorId == 0) return;
    } else {
      change.vendorName = Text(udev_device_get_property_value(device, "ID_VENDOR"));
      change.model = Text(udev_device_get_property_value(device, "ID_MODEL"));
      if (change.vendorName.empty()) return;
    }
    notify_(change);
  }

  udev* udev_;
  udev_monitor* monitor_;
  int wake_;
  std::function<void(const Change&)> notify_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Watch> Start(std::function<void(const Change&)> notify) {
  udev* u = udev_new();
  if (u == nullptr) return nullptr;
  udev_monitor* monitor = udev_monitor_new_from_netlink(u, "udev");
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const bool ready = monitor != nullptr && wake >= 0 &&
                     udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") >= 0 &&
                     udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", "disk") >= 0 &&
                     udev_monitor_enable_receiving(monitor) >= 0;
  if (!ready) {
    if (wake >= 0) close(wake);
    if (monitor != nullptr) udev_monitor_unref(monitor);
    udev_unref(u);
    return nullptr;
  }
  return std::make_unique<UdevWatch>(u, monitor, wake, std::move(notify));
}

}  // namespace platform::device_watch
