// HID on Linux: hidapi lists the hidraw nodes, the I/O goes to the node itself, so that reads
// honour their time-out to the millisecond whatever signals arrive, and queued input can be
// dropped.
#include <errno.h>
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <new>
#include <vector>

#include "../sim/hid_os.h"
#include "platform/hid_descriptor.h"

namespace platform::hid {
namespace {

using Clock = std::chrono::steady_clock;

// hid_init is not safe to race with itself; hidapi wants it once per process.
bool Init() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = hid_init() == 0; });
  return ok;
}

// hidraw knows no release number, so Open takes the attributes from the enumeration entry of
// the same path.
bool LookUpAttributes(const std::string& path, Attributes* attributes) {
  if (!Init()) return false;
  hid_device_info* list = hid_enumerate(0, 0);
  bool found = false;
  for (hid_device_info* d = list; d != nullptr; d = d->next) {
    if (d->path != nullptr && path == d->path) {
      attributes->vendorId = d->vendor_id;
      attributes->productId = d->product_id;
      attributes->versionNumber = d->release_number;
      found = true;
      break;
    }
  }
  hid_free_enumeration(list);
  return found;
}

// Waits until the node has input or the deadline passes; a signal resumes the wait with the time
// that is left. 1: readable, 0: time-out, -1: the node failed or is gone.
int WaitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd pfd = {fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left <= 0 ? 0 : left > INT_MAX ? INT_MAX : left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(pfd.revents & POLLIN))) {
      return -1;
    }
    if (ready > 0) return 1;
    if (Clock::now() >= deadline) return 0;
  }
}

// The descriptor tells the report lengths and whether reports come with their ID in front.
bool ReadDescriptor(int fd, DescriptorInfo* info) {
  int size = 0;
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0) return false;
  hidraw_report_descriptor descriptor = {};
  descriptor.size = static_cast<uint32_t>(std::min<int>(size, HID_MAX_DESCRIPTOR_SIZE));
  if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) return false;
  *info = ParseReportDescriptor(descriptor.value, descriptor.size);
  return true;
}

class HidrawDevice final : public Device {
 public:
  HidrawDevice(int fd, const Attributes& a, bool haveAttributes)
      : fd_(fd), attributes_(a), haveAttributes_(haveAttributes) {
    haveDescriptor_ = ReadDescriptor(fd_, &descriptor_);
  }
  ~HidrawDevice() override {
    close(fd_);
    if (wakeFd_ >= 0) close(wakeFd_);
  }

  bool GetCaps(Caps* caps) override {
    if (caps == nullptr || !haveDescriptor_) return false;
    *caps = descriptor_.caps;
    return true;
  }

  // hidraw wants the report number in byte 0 and counts it, numbered or not.
  bool SetFeature(const uint8_t* report, size_t size) override {
    if (report == nullptr || size == 0) return false;
    std::vector<uint8_t> buffer(report, report + size);
    int r;
    do {
      r = ioctl(fd_, HIDIOCSFEATURE(size), buffer.data());
    } while (r < 0 && errno == EINTR);
    if (r < 0) os::RecordError(static_cast<uint32_t>(errno));
    return r >= 0;
  }

  IoResult ReadOrStop(uint8_t* report, size_t size, size_t* received, Event& stop) override {
    if (report == nullptr || size < 2 || received == nullptr) return IoResult::Failed;
    *received = 0;
    if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return IoResult::Failed;
    const int wake = wakeFd_;
    const Event::Watch watch = stop.OnSet([wake] {
      const uint64_t one = 1;
      (void)!write(wake, &one, sizeof one);
    });
    for (;;) {
      if (stop.Wait(0) == WaitResult::Signalled) return IoResult::Stopped;
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake, POLLIN, 0}};
      const int ready = poll(fds, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return IoResult::Failed;
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        (void)!read(wake, &count, sizeof count);
      }
      if (fds[0].revents & POLLIN) return ReadReport(report, size, received);
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return IoResult::Failed;
    }
  }

  bool GetAttributes(Attributes* attributes) override {
    if (attributes == nullptr || !haveAttributes_) return false;
    *attributes = attributes_;
    return true;
  }

  // hidraw takes the report ID in byte 0 and counts only the payload for ID 0, so the result is
  // not compared with the size.
  bool SetOutputReport(const uint8_t* report, size_t size) override { return Send(report, size); }

  bool GetInputReport(uint8_t* report, size_t size) override {
    if (report == nullptr || size == 0) return false;
    report[0] = 0;
    return ioctl(fd_, HIDIOCGINPUT(size), report) > 0;
  }

  IoResult Write(const uint8_t* report, size_t size, uint32_t) override {
    return Send(report, size) ? IoResult::Ok : IoResult::Failed;
  }

  IoResult Read(uint8_t* report, size_t size, uint32_t timeoutMs) override {
    if (report == nullptr || size < 2) return IoResult::Failed;
    const int ready = WaitReadable(fd_, Clock::now() + std::chrono::milliseconds(timeoutMs));
    if (ready == 0) return IoResult::TimedOut;
    if (ready < 0) return IoResult::Failed;
    size_t received = 0;
    return ReadReport(report, size, &received);
  }

  bool FlushInput() override {
    std::vector<uint8_t> scratch(4096);
    // Bounded: a device that reports faster than we drop must not keep us here.
    for (int i = 0; i < 1024; ++i) {
      const int ready = WaitReadable(fd_, Clock::now());
      if (ready < 0) return false;
      if (ready == 0) return true;
      if (read(fd_, scratch.data(), scratch.size()) < 0 && errno != EINTR) return false;
    }
    return true;
  }

 private:
  // Numbered input reports come with their ID; unnumbered ones without, and byte 0 gets the 0
  // the callers expect.
  IoResult ReadReport(uint8_t* report, size_t size, size_t* received) {
    const size_t skip = descriptor_.numberedReports ? 0 : 1;
    ssize_t n;
    do {
      n = read(fd_, report + skip, size - skip);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      os::RecordError(n < 0 ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(ENODEV));
      return IoResult::Failed;
    }
    if (skip != 0) report[0] = 0;
    *received = static_cast<size_t>(n) + skip;
    return IoResult::Ok;
  }

  bool Send(const uint8_t* report, size_t size) {
    if (report == nullptr || size == 0) return false;
    ssize_t n;
    do {
      n = write(fd_, report, size);
    } while (n < 0 && errno == EINTR);
    return n > 0;
  }

  int fd_;
  int wakeFd_ = -1;
  Attributes attributes_;
  bool haveAttributes_;
  DescriptorInfo descriptor_;
  bool haveDescriptor_ = false;
};

}  // namespace

namespace os {

bool DevicePathAt(int index, std::string* path) {
  if (index < 0 || path == nullptr || !Init()) return false;
  // A walk over the interface indices asks for every index in turn; one enumeration of the
  // hidraw nodes serves the whole walk instead of one per index. A short lifetime keeps a
  // newly attached device visible to the next walk.
  static std::mutex mutex;
  static std::vector<std::string> paths;
  static Clock::time_point taken{};
  std::lock_guard<std::mutex> lock(mutex);
  const auto now = Clock::now();
  if (index == 0 || now - taken > std::chrono::milliseconds(200)) {
    paths.clear();
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* d = list; d != nullptr; d = d->next) paths.push_back(d->path ? d->path : "");
    hid_free_enumeration(list);
    taken = now;
  }
  if (static_cast<size_t>(index) >= paths.size() || paths[static_cast<size_t>(index)].empty()) return false;
  *path = paths[static_cast<size_t>(index)];
  return true;
}

Device* Open(const std::string& path) {
  if (path.empty()) return nullptr;
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    RecordError(static_cast<uint32_t>(errno));
    return nullptr;
  }
  Attributes attributes;
  const bool haveAttributes = LookUpAttributes(path, &attributes);
  Device* device = new (std::nothrow) HidrawDevice(fd, attributes, haveAttributes);
  if (device == nullptr) close(fd);
  return device;
}

}  // namespace os
}  // namespace platform::hid
