#include "platform/named_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace platform {
namespace {

// A lock file's flock, so that the system frees the lock of a process that dies holding it (a
// killed capture program must not block every later one). Each object has its own open file,
// hence its own flock; threads sharing one object are kept apart by a flag of its own, which
// any thread may clear.
class PosixNamedLock final : public NamedLock {
 public:
  explicit PosixNamedLock(int fd) : fd_(fd) {}
  ~PosixNamedLock() override { close(fd_); }
  bool Enter(uint32_t timeoutMs) override {
    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == kWaitForever;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    const auto free = [this] { return !held_; };
    if (forever) {
      changed_.wait(lock, free);
    } else if (!changed_.wait_until(lock, deadline, free)) {
      return false;
    }
    held_ = true;
    lock.unlock();
    // Another process's hold ends at its Leave or its death; poll for it briefly, since flock
    // has no time-out of its own.
    for (;;) {
      if (flock(fd_, LOCK_EX | (forever ? 0 : LOCK_NB)) == 0) return true;
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      if (!forever && Clock::now() >= deadline) break;
      if (errno == EWOULDBLOCK) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Release();
    return false;
  }
  void Leave() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!held_) return;
    flock(fd_, LOCK_UN);
    held_ = false;
    changed_.notify_one();
  }

 private:
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    changed_.notify_one();
  }
  const int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
};

// The user's runtime folder when there is one, else the temporary folder; the user id in the
// name keeps users apart there.
std::string LockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && runtime[0] == '/' ? runtime : "/tmp";
}

}  // namespace

std::unique_ptr<NamedLock> NamedLock::Open(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return nullptr;
  const std::string path = LockFolder() + "/" + name + "." + std::to_string(getuid()) + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  // A file of that name that another user owns is not this user's lock.
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_uid != getuid()) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixNamedLock>(fd);
}

namespace {

class FlockExistenceLock : public ExistenceLock {
 public:
  explicit FlockExistenceLock(int fd) : fd_(fd) {}
  ~FlockExistenceLock() override { close(fd_); }

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

std::unique_ptr<ExistenceLock> ExistenceLock::Acquire(const std::string& name, uint32_t pollMs, uint32_t timeoutMs) {
  const int fd = OpenLockFile(name);
  if (fd < 0) return nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<FlockExistenceLock>(fd);
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  close(fd);
  return nullptr;
}

bool ExistenceLock::Held(const std::string& name) {
  const int fd = OpenLockFile(name);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also drops the lock this look may have taken
  return held;
}

}  // namespace platform
