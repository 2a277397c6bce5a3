#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>

#include "../sim/serial_os.h"

namespace platform::serial::os {
namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

bool SpeedFor(uint32_t baud, speed_t* speed) {
  static const struct {
    uint32_t baud;
    speed_t speed;
  } kRates[] = {
      {50, B50},         {75, B75},       {110, B110},     {134, B134},     {150, B150},       {200, B200},
      {300, B300},       {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400},     {4800, B4800},
      {9600, B9600},     {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
#ifdef B230400
      {230400, B230400},
#endif
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B921600
      {921600, B921600},
#endif
  };
  for (const auto& rate : kRates) {
    if (rate.baud == baud) {
      *speed = rate.speed;
      return true;
    }
  }
  return false;
}

class PosixPort final : public Port {
 public:
  explicit PosixPort(int fd) : fd_(fd) {}
  ~PosixPort() override { close(fd_); }

  // The tty driver sizes its own buffers.
  bool SetQueues(uint32_t, uint32_t) override { return true; }

  bool SetLine(uint32_t baud) override {
    speed_t speed;
    if (!SpeedFor(baud, &speed)) return false;
    termios tio;
    if (tcgetattr(fd_, &tio) != 0) return false;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | CS8;
    return tcsetattr(fd_, TCSANOW, &tio) == 0;
  }

  bool SetReadTimeouts(uint32_t intervalMs, uint32_t perByteMs, uint32_t constantMs) override {
    intervalMs_ = intervalMs;
    perByteMs_ = perByteMs;
    constantMs_ = constantMs;
    return true;
  }

  bool Purge(bool output, bool input) override {
    bool ok = true;
    if (output) ok = tcflush(fd_, TCOFLUSH) == 0 && ok;
    if (input) ok = tcflush(fd_, TCIFLUSH) == 0 && ok;
    return ok;
  }

  // No tcdrain: on a pseudo-terminal nobody reads it can wait forever.
  bool Write(const uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd_, data + done, size - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        pollfd pfd = {fd_, POLLOUT, 0};
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  // Time-outs as Windows applies them: a total budget of perByte * size + constant, and the
  // interval as the longest gap once data flows. A zero budget takes only what is waiting
  // rather than blocking forever as Windows would.
  long Read(uint8_t* data, size_t size) override {
    if (size == 0) return 0;
    using Clock = std::chrono::steady_clock;
    const uint64_t budgetMs = static_cast<uint64_t>(perByteMs_) * size + constantMs_;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budgetMs);
    size_t got = 0;
    while (got < size) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      int64_t waitMs = std::max<int64_t>(left, 0);
      if (got > 0 && intervalMs_ != 0) {
        waitMs = intervalMs_ == kMaxDword ? 0 : std::min<int64_t>(waitMs, intervalMs_);
      }
      pollfd pfd = {fd_, POLLIN, 0};
      const int ready = poll(&pfd, 1, static_cast<int>(std::min<int64_t>(waitMs, 0x7FFFFFFF)));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return got > 0 ? static_cast<long>(got) : -1;
      }
      if (ready == 0) break;
      if (pfd.revents & POLLNVAL) return -1;
      const ssize_t n = read(fd_, data + got, size - got);
      if (n > 0) {
        got += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        continue;
      } else {
        // A hung-up peer (EIO on a pseudo-terminal) fails the read only if nothing came.
        return got > 0 ? static_cast<long>(got) : -1;
      }
    }
    return static_cast<long>(got);
  }

  void ClearError() override {}

 private:
  int fd_;
  uint32_t intervalMs_ = 0;
  uint32_t perByteMs_ = 0;
  uint32_t constantMs_ = 0;
};

}  // namespace

std::string DeviceName(int port) {
  const std::string variable = "TARNWICK_COM" + std::to_string(port);
  const char* value = std::getenv(variable.c_str());
  if (value != nullptr && *value != '\0') return value;
  if (port < 1) return std::string();
  return "/dev/ttyS" + std::to_string(port - 1);
}

Port* Open(int port) {
  const std::string name = DeviceName(port);
  if (name.empty()) return nullptr;
  // Non-blocking open so a modem line without carrier cannot hang us before CLOCAL is set.
  const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  // flock rather than TIOCEXCL: TIOCEXCL does not stop root, and a lock dies with its holder.
  termios tio;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &tio) != 0) {
    close(fd);
    return nullptr;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  const int flags = fcntl(fd, F_GETFL);
  if (tcsetattr(fd, TCSANOW, &tio) != 0 || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  Port* result = new (std::nothrow) PosixPort(fd);
  if (result == nullptr) close(fd);
  return result;
}

}  // namespace platform::serial::os
