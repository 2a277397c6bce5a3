#include "platform/named_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

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

}  // namespace platform
