#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/event.h"

namespace platform {
namespace {

TEST(Thread, RunningUntilTheBodyReturns) {
  auto release = Event::CreateManualReset();
  std::atomic<bool> ran{false};
  auto t = Thread::Start([&] {
    release->Wait(kWaitForever);
    ran = true;
  });
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->Running());
  EXPECT_FALSE(t->Join(20));
  release->Set();
  EXPECT_TRUE(t->Join(10000));
  EXPECT_FALSE(t->Running());
  EXPECT_TRUE(ran);
}

TEST(Thread, AnExceptionEndsOnlyTheThread) {
  auto t = Thread::Start([] { throw 42; });
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->Join(10000));
}

}  // namespace
}  // namespace platform
