#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {
namespace {

class FlockNamedLock : public NamedLock {
 public:
  explicit FlockNamedLock(int fd) : fd_(fd) {}
  ~FlockNamedLock() override { close(fd_); }

 private:
  int fd_;
};

std::string LockPath(const std::string& name) {
  std::string file;
  for (char c : name) file += (c == '/' || c == '\\') ? '_' : c;
  return "/tmp/" + file + ".lock";
}

// An open lock file, or -1.
int OpenLockFile(const std::string& name) { return open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666); }

}  // namespace

std::unique_ptr<NamedLock> NamedLock::Acquire(const std::string& name, uint32_t pollMs, uint32_t timeoutMs) {
  const int fd = OpenLockFile(name);
  if (fd < 0) return nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<FlockNamedLock>(fd);
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  close(fd);
  return nullptr;
}

bool NamedLock::Held(const std::string& name) {
  const int fd = OpenLockFile(name);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also drops the lock this look may have taken
  return held;
}

}  // namespace platform
