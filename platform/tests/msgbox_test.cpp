#include "platform/msgbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tw/testing.h"

namespace platform {
namespace {

// Under TARNWICK_MESSAGEBOX=stderr no dialog may open: a box would stop the test here.
TEST(MessageBox, WritesTextToStandardError) {
  tw::testing::SetEnv("TARNWICK_MESSAGEBOX", "stderr");
  testing::internal::CaptureStderr();
  ShowMessageBox("\xE5\x8A\xA0\xE8\xBD\xBD\xE5\x8A\xA8\xE6\x80\x81\xE5\xBA\x93 failed: devtool.dll");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("\xE5\x8A\xA0\xE8\xBD\xBD\xE5\x8A\xA8\xE6\x80\x81\xE5\xBA\x93 failed: devtool.dll\n"),
            std::string::npos)
      << err;
}

TEST(MessageBox, EmptyTextGivesEmptyLine) {
  tw::testing::SetEnv("TARNWICK_MESSAGEBOX", "stderr");
  testing::internal::CaptureStderr();
  ShowMessageBox("");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n");
}

}  // namespace
}  // namespace platform
