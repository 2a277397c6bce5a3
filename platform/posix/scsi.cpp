// SCSI pass-through on Linux: SG_IO on the sg node of each direct-access device, or on the
// block device itself when the sg driver is not loaded. SG_IO is synchronous: the kernel waits
// for the command and aborts it at its time-out.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>

#include "../sim/scsi_os.h"

namespace platform::scsi {
namespace {

constexpr unsigned kHostTimedOut = 0x03;  // DID_TIME_OUT
constexpr unsigned kDriverTimedOut = 0x06;

class SgDevice final : public Device {
 public:
  explicit SgDevice(int fd) : fd_(fd) {}
  ~SgDevice() override { close(fd_); }

  Result Execute(const Command& command, Outcome* outcome) override {
    if (!Valid(command) || outcome == nullptr) return Result::Refused;
    sg_io_hdr_t h = {};
    uint8_t cdb[kMaxCdb];
    std::memcpy(cdb, command.cdb, sizeof cdb);
    uint8_t sense[kMaxSense] = {};
    h.interface_id = 'S';
    h.dxfer_direction = command.direction == Direction::In    ? SG_DXFER_FROM_DEV
                        : command.direction == Direction::Out ? SG_DXFER_TO_DEV
                                                              : SG_DXFER_NONE;
    h.cmd_len = command.cdbLength;
    h.mx_sb_len = command.senseLength;
    h.dxfer_len = command.length;
    h.dxferp = command.data;
    h.cmdp = cdb;
    h.sbp = sense;
    h.timeout = command.timeoutSeconds * 1000u;
    int r;
    do {
      r = ioctl(fd_, SG_IO, &h);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return errno == ETIMEDOUT ? Result::TimedOut : Result::Failed;
    if (h.host_status == kHostTimedOut || (h.driver_status & 0x0F) == kDriverTimedOut) return Result::TimedOut;
    if (h.host_status != 0) return Result::Failed;
    Outcome out;
    out.status = h.status;
    out.senseLength = std::min<uint8_t>(h.sb_len_wr, command.senseLength);
    std::memcpy(out.sense, sense, out.senseLength);
    const int resid = h.resid < 0 ? 0 : h.resid;
    out.transferred = command.length - std::min<uint32_t>(command.length, static_cast<uint32_t>(resid));
    *outcome = out;
    return Result::Ok;
  }

 private:
  int fd_;
};

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Entries of `dir` named prefix + suffix, sorted by suffix: numerically for sg, by length then
// letters for sd (sdz before sdaa), as the kernel names them.
std::vector<std::string> Entries(const char* dir, const char* prefix) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir)) {
    const size_t n = std::strlen(prefix);
    while (dirent* e = readdir(d)) {
      if (std::strncmp(e->d_name, prefix, n) == 0 && e->d_name[n] != '\0') names.emplace_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end(), [n = std::strlen(prefix)](const std::string& a, const std::string& b) {
    const std::string x = a.substr(n), y = b.substr(n);
    const bool digits = !x.empty() && x[0] >= '0' && x[0] <= '9';
    if (digits) return std::strtoul(x.c_str(), nullptr, 10) < std::strtoul(y.c_str(), nullptr, 10);
    return x.size() != y.size() ? x.size() < y.size() : x < y;
  });
  return names;
}

}  // namespace

namespace os {

std::vector<std::string> DiskPaths() {
  std::vector<std::string> paths;
  for (const std::string& sg : Entries("/sys/class/scsi_generic", "sg")) {
    // Type 0: direct-access (disk); a card reader's other functions have other types.
    if (ReadLine("/sys/class/scsi_generic/" + sg + "/device/type") == "0") paths.push_back("/dev/" + sg);
  }
  if (!paths.empty()) return paths;
  for (const std::string& sd : Entries("/sys/block", "sd")) paths.push_back("/dev/" + sd);
  return paths;
}

Device* Open(const std::string& path) {
  if (path.empty()) return nullptr;
  // Non-blocking: an sg open would otherwise wait for the device to be free, a disk without a
  // medium would fail.
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  Device* device = new (std::nothrow) SgDevice(fd);
  if (device == nullptr) close(fd);
  return device;
}

}  // namespace os
}  // namespace platform::scsi
