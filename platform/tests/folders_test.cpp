#include "platform/folders.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/version.h"

namespace platform {
namespace {

TEST(Folders, ModuleOfThisProgramIsItsFolder) {
  const std::string here = ModuleDirectory(reinterpret_cast<const void*>(&ModuleDirectory));
  ASSERT_FALSE(here.empty());
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(here), std::filesystem::u8path(ProgramDirectory())));
  EXPECT_EQ(ModuleDirectory(nullptr), "");
}

TEST(Folders, ApplicationDataIsAnAbsolutePath) {
  const std::string appData = AppDataDirectory();
  ASSERT_FALSE(appData.empty());
  EXPECT_TRUE(std::filesystem::u8path(appData).is_absolute()) << appData;
}

}  // namespace
}  // namespace platform
