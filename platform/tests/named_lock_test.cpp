#include "platform/named_lock.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const char* const kName = "TARNWICK_NAMED_LOCK_TEST";

TEST(NamedLock, HeldUntilReleasedAndExclusive) {
  EXPECT_FALSE(platform::NamedLock::Held(kName));
  auto first = platform::NamedLock::Acquire(kName, 10, 1000);
  ASSERT_TRUE(first);
  EXPECT_TRUE(platform::NamedLock::Held(kName));
  // Another holder waits; with a short limit it gives up.
  std::unique_ptr<platform::NamedLock> second;
  std::thread other([&] { second = platform::NamedLock::Acquire(kName, 10, 50); });
  other.join();
  EXPECT_FALSE(second);
  first.reset();
  EXPECT_FALSE(platform::NamedLock::Held(kName));
  // A waiter gets it as soon as the holder lets go.
  first = platform::NamedLock::Acquire(kName, 10, 1000);
  ASSERT_TRUE(first);
  std::thread waiter([&] { second = platform::NamedLock::Acquire(kName, 10, 30000); });
  first.reset();
  waiter.join();
  EXPECT_TRUE(second);
}

}  // namespace
