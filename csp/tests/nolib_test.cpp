// Without the key library beside it, the provider binds nothing and every entry point fails
// cleanly with the start-up's code.
#include <gtest/gtest.h>

#include "mvcsp.h"
#include "platform/thread_error.h"

namespace {

constexpr MV_DWORD kNoKeyLibrary = 0xE0020007;

TEST(NoKeyLibrary, EveryEntryPointFails) {
  MV_HANDLE prov = 0, hash = 0, key = 0;
  EXPECT_FALSE(RelAcquireContext(&prov, nullptr, 0xF0000000, nullptr));
  EXPECT_EQ(platform::ThreadError(), kNoKeyLibrary);
  EXPECT_EQ(prov, 0u);
  EXPECT_FALSE(RelAcquireContext(&prov, "container", 8, nullptr));
  EXPECT_EQ(platform::ThreadError(), kNoKeyLibrary);
  EXPECT_FALSE(RelCreateHash(1, 0x8004, 0, 0, &hash));
  EXPECT_EQ(platform::ThreadError(), kNoKeyLibrary);
  EXPECT_FALSE(RelGenKey(1, 2, 0, &key));
  EXPECT_EQ(platform::ThreadError(), kNoKeyLibrary);
  unsigned char buffer[8];
  EXPECT_FALSE(RelGenRandom(1, sizeof buffer, buffer));
  EXPECT_EQ(platform::ThreadError(), kNoKeyLibrary);
}

}  // namespace
