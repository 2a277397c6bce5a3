#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace platform {
namespace {

TEST(Event, AutoResetIsTakenByOneWait) {
  auto e = Event::CreateAutoReset();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Wait(0), WaitResult::Timeout);
  e->Set();
  EXPECT_EQ(e->Wait(0), WaitResult::Signalled);
  EXPECT_EQ(e->Wait(0), WaitResult::Timeout);
  auto initially = Event::CreateAutoReset(true);
  EXPECT_EQ(initially->Wait(0), WaitResult::Signalled);
  initially->Set();
  initially->Reset();
  EXPECT_EQ(initially->Wait(0), WaitResult::Timeout);
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  auto e = Event::CreateManualReset();
  e->Set();
  EXPECT_EQ(e->Wait(0), WaitResult::Signalled);
  EXPECT_EQ(e->Wait(10), WaitResult::Signalled);
  e->Reset();
  EXPECT_EQ(e->Wait(10), WaitResult::Timeout);
}

TEST(Event, WaitForeverEndsWhenSetFromAnotherThread) {
  auto e = Event::CreateAutoReset();
  std::thread setter([&e] { e->Set(); });
  EXPECT_EQ(e->Wait(kWaitForever), WaitResult::Signalled);
  setter.join();
}

TEST(Event, WatchersRunOnEverySetUntilReleased) {
  auto e = Event::CreateAutoReset();
  std::atomic<int> wakes{0};
  Event::Watch watch = e->OnSet([&wakes] { ++wakes; });
  e->Set();
  e->Set();
  EXPECT_EQ(wakes, 2);
  // The watcher only wakes; the signal is still there for the waiter to take.
  EXPECT_EQ(e->Wait(0), WaitResult::Signalled);
  watch.reset();
  e->Set();
  EXPECT_EQ(wakes, 2);
}

}  // namespace
}  // namespace platform
