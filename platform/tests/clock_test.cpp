#include "platform/clock.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

// The same calendar fields as the C library's own (shared-buffer) conversion gives.
TEST(Clock, LocalTimeAgreesWithTheCLibrary) {
  for (const std::time_t moment : {std::time_t{0}, std::time_t{86399}, std::time_t{951782400} /* 2000-02-29 */,
                                   std::time_t{1798761599} /* end of 2026 */}) {
    SCOPED_TRACE(static_cast<long long>(moment));
    std::tm mine{};
    ASSERT_TRUE(LocalTime(moment, &mine));
    const std::tm theirs = *std::localtime(&moment);
    EXPECT_EQ(mine.tm_year, theirs.tm_year);
    EXPECT_EQ(mine.tm_yday, theirs.tm_yday);
    EXPECT_EQ(mine.tm_hour, theirs.tm_hour);
    EXPECT_EQ(mine.tm_min, theirs.tm_min);
    EXPECT_EQ(mine.tm_sec, theirs.tm_sec);
  }
  EXPECT_FALSE(LocalTime(0, nullptr));
}

}  // namespace
}  // namespace platform
