#include "platform/module.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Module, PathsJoinWithTheSystemsSeparator) {
  EXPECT_EQ(platform::PathJoin("", "a"), "a");
  const std::string joined = platform::PathJoin("dir", "a");
  EXPECT_TRUE(joined == "dir/a" || joined == "dir\\a") << joined;
}

TEST(Module, EnvironmentAsTheSystemHoldsIt) {
#if defined(_WIN32)
  _putenv_s("TARNWICK_MODULE_TEST", "value");
#else
  setenv("TARNWICK_MODULE_TEST", "value", 1);
#endif
  EXPECT_EQ(platform::EnvironmentValue("TARNWICK_MODULE_TEST"), "value");
  EXPECT_FALSE(platform::EnvironmentValue("TARNWICK_MODULE_TEST_UNSET"));
}

}  // namespace
