#include "platform/folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/files.h"
#include "platform/module.h"
#include "platform/version.h"
#include "tw/testing.h"

namespace platform {
namespace {

TEST(Folders, ModuleOfThisProgramIsItsFolder) {
  const std::string here = ModuleDirectory(reinterpret_cast<const void*>(&AppDataDirectory));
  ASSERT_FALSE(here.empty());
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(here), std::filesystem::u8path(ProgramDirectory())));
  EXPECT_EQ(ModuleDirectory(nullptr), "");
}

TEST(Folders, ApplicationDataIsAnAbsolutePath) {
  const std::string appData = AppDataDirectory();
  ASSERT_FALSE(appData.empty());
  EXPECT_TRUE(std::filesystem::u8path(appData).is_absolute()) << appData;
}

#if !defined(_WIN32)
// Linux knows one per-user data folder; each of the three questions gets it, by the XDG rules.
TEST(Folders, OneDataFolderOnLinuxByTheXdgRules) {
  const char* home = std::getenv("HOME");
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const std::string savedHome = home != nullptr ? home : "", savedXdg = xdg != nullptr ? xdg : "";
  const struct {
    const char* home;
    const char* xdg;  // null: unset
    std::string expected;
  } rows[] = {
      {"/home/li", "/srv/data", "/srv/data"},
      {"/home/li", nullptr, "/home/li/.local/share"},
      {"/home/li", "relative/data", "/home/li/.local/share"},  // a relative one is ignored
      {"/home/li", "", "/home/li/.local/share"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.xdg != nullptr ? row.xdg : "(unset)");
    tw::testing::SetEnv("HOME", row.home);
    if (row.xdg != nullptr) {
      tw::testing::SetEnv("XDG_DATA_HOME", row.xdg);
    } else {
      unsetenv("XDG_DATA_HOME");
    }
    EXPECT_EQ(DataFolder(), row.expected);
    EXPECT_EQ(AppDataDirectory(), row.expected);
    EXPECT_EQ(UserDataDirectory(), row.expected);
  }
  tw::testing::SetEnv("HOME", savedHome.c_str());
  if (xdg != nullptr) {
    tw::testing::SetEnv("XDG_DATA_HOME", savedXdg.c_str());
  } else {
    unsetenv("XDG_DATA_HOME");
  }
}
#endif

}  // namespace
}  // namespace platform
