#include "platform/named_lock.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <string>
#include <thread>

namespace platform {
namespace {

std::string UniqueName(const char* base) {
  return std::string(base) + "." + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "." +
         ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

TEST(NamedLock, TwoOpeningsOfOneNameShareTheLock) {
  const std::string name = UniqueName("TarnwickLockTest");
  auto a = NamedLock::Open(name);
  auto b = NamedLock::Open(name);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(a->Enter(0));
  EXPECT_FALSE(b->Enter(0));
  EXPECT_FALSE(b->Enter(20));
  a->Leave();
  ASSERT_TRUE(b->Enter(0));
  EXPECT_FALSE(a->Enter(0));
  // Another thread may leave what one entered, and leaving a free lock keeps it a lock for one.
  std::thread([&] { b->Leave(); }).join();
  b->Leave();
  ASSERT_TRUE(a->Enter(0));
  EXPECT_FALSE(b->Enter(0));
  a->Leave();
}

TEST(NamedLock, OtherNamesAreOtherLocks) {
  auto a = NamedLock::Open(UniqueName("TarnwickLockTestA"));
  auto b = NamedLock::Open(UniqueName("TarnwickLockTestB"));
  ASSERT_TRUE(a->Enter(0));
  EXPECT_TRUE(b->Enter(0));
  a->Leave();
  b->Leave();
}

#if !defined(_WIN32)
// A holder that dies without leaving must not block every later process.
TEST(NamedLock, AHolderThatDiesFreesTheLock) {
  const std::string name = UniqueName("TarnwickLockTestDeath");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto lock = NamedLock::Open(name);
    _exit(lock != nullptr && lock->Enter(0) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto lock = NamedLock::Open(name);
  ASSERT_NE(lock, nullptr);
  EXPECT_TRUE(lock->Enter(1000));
  lock->Leave();
}
#endif

TEST(NamedLock, GuardLeavesOnScopeExit) {
  auto lock = NamedLock::Open(UniqueName("TarnwickLockTestGuard"));
  {
    NamedLockGuard guard(lock.get());
    EXPECT_FALSE(lock->Enter(0));
  }
  EXPECT_TRUE(lock->Enter(0));
  lock->Leave();
  NamedLockGuard none(nullptr);
}

const char* const kName = "TARNWICK_NAMED_LOCK_TEST";

TEST(ExistenceLock, HeldUntilReleasedAndExclusive) {
  EXPECT_FALSE(ExistenceLock::Held(kName));
  auto first = ExistenceLock::Acquire(kName, 10, 1000);
  ASSERT_TRUE(first);
  EXPECT_TRUE(ExistenceLock::Held(kName));
  // Another holder waits; with a short limit it gives up.
  std::unique_ptr<ExistenceLock> second;
  std::thread other([&] { second = ExistenceLock::Acquire(kName, 10, 50); });
  other.join();
  EXPECT_FALSE(second);
  first.reset();
  EXPECT_FALSE(ExistenceLock::Held(kName));
  // A waiter gets it as soon as the holder lets go.
  first = ExistenceLock::Acquire(kName, 10, 1000);
  ASSERT_TRUE(first);
  std::thread waiter([&] { second = ExistenceLock::Acquire(kName, 10, 30000); });
  first.reset();
  waiter.join();
  EXPECT_TRUE(second);
}

}  // namespace
}  // namespace platform
