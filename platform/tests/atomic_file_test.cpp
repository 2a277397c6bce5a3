#include "platform/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tw/testing.h"

namespace {

TEST(AtomicFile, WritesReplacesAndReadsWithinALimit) {
  tw::testing::WorkDirectory dir("atomic_file", false);
  const std::string file = (dir.path() / "data.bin").string();
  const std::string first("one\0two", 7);
  ASSERT_TRUE(platform::WriteFileAtomically(file, first));
  EXPECT_EQ(platform::ReadWholeFile(file, 100), first);
  ASSERT_TRUE(platform::WriteFileAtomically(file, "replaced"));
  EXPECT_EQ(platform::ReadWholeFile(file, 100), "replaced");
  EXPECT_FALSE(platform::ReadWholeFile(file, 7));
  EXPECT_EQ(platform::ReadWholeFile(file, 8), "replaced");
  // No folder: nothing is written and the old file is untouched; nothing is left behind.
  EXPECT_FALSE(platform::WriteFileAtomically((dir.path() / "missing" / "x").string(), "x"));
  EXPECT_FALSE(platform::ReadWholeFile((dir.path() / "missing" / "x").string(), 100));
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);
}

}  // namespace
