// The service's own settings where an administrator puts them: the registry under Windows (Wine's
// here), environment variables on Linux.
#include "platform/settings.h"

#include <gtest/gtest.h>

#include "tw/settings.h"

namespace {

TEST(Settings, TextsAndListsAreReadAndAbsentOnesAreEmpty) {
  tw::testing::SetSetting("ListenAddress", "127.0.0.1");
  tw::testing::SetSetting("AllowedOrigins", "https://a.example http://b.example:8080", true);
  EXPECT_EQ(platform::settings::Text("Tarnwick", "ListenAddress").value_or("-"), "127.0.0.1");
  EXPECT_EQ(platform::settings::List("Tarnwick", "AllowedOrigins"),
            (std::vector<std::string>{"https://a.example", "http://b.example:8080"}));
  tw::testing::SetSetting("ListenAddress", nullptr);
  tw::testing::SetSetting("AllowedOrigins", nullptr);
  EXPECT_FALSE(platform::settings::Text("Tarnwick", "ListenAddress").has_value());
  EXPECT_TRUE(platform::settings::List("Tarnwick", "AllowedOrigins").empty());
#if !defined(_WIN32)
  EXPECT_EQ(platform::settings::Location("Tarnwick", "AllowedOrigins"), "TARNWICK_ALLOWED_ORIGINS");
#endif
}

}  // namespace
