#include "platform/named_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace platform {
namespace {

class PosixNamedLock final : public NamedLock {
 public:
  explicit PosixNamedLock(sem_t* s) : sem_(s) {}
  ~PosixNamedLock() override { sem_close(sem_); }
  bool Enter(uint32_t timeoutMs) override {
    if (timeoutMs == kWaitForever) {
      int r;
      do {
        r = sem_wait(sem_);
      } while (r < 0 && errno == EINTR);
      return r == 0;
    }
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    int r;
    do {
      r = sem_timedwait(sem_, &deadline);
    } while (r < 0 && errno == EINTR);
    return r == 0;
  }
  void Leave() override {
    // A count above 1 would let two holders in: leaving a free lock leaves it free.
    int value = 0;
    if (sem_getvalue(sem_, &value) == 0 && value > 0) return;
    sem_post(sem_);
  }

 private:
  sem_t* sem_;
};

}  // namespace

std::unique_ptr<NamedLock> NamedLock::Open(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return nullptr;
  const std::string semName = "/" + name + "." + std::to_string(getuid());
  sem_t* s = sem_open(semName.c_str(), O_CREAT, 0600, 1);
  if (s == SEM_FAILED) return nullptr;
  return std::make_unique<PosixNamedLock>(s);
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
