#include "platform/folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tw/testing.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// The test program is a module of its own: the program's and the module's answers agree.
TEST(Folders, EachQuestionHasAnAbsoluteAnswer) {
  const fs::path program = fs::u8path(ProgramPath());
  EXPECT_EQ(program.parent_path().u8string(), ProgramDirectory());
  EXPECT_TRUE(fs::equivalent(program, fs::u8path(ModulePath())));
  EXPECT_TRUE(fs::equivalent(fs::u8path(ProgramDirectory()), fs::u8path(ModuleDirectory())));
  for (const std::string& folder :
       {ProgramDirectory(), SystemDirectory(), MachineDataDirectory(), RoamingDataDirectory(), LocalDataDirectory()}) {
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(fs::u8path(folder).is_absolute()) << folder;
    EXPECT_NE(folder.back(), '/') << folder;
    EXPECT_NE(folder.back(), '\\') << folder;
  }
#if defined(_WIN32)
  // Windows keeps three data folders apart.
  EXPECT_NE(MachineDataDirectory(), RoamingDataDirectory());
  EXPECT_NE(RoamingDataDirectory(), LocalDataDirectory());
#endif
}

#if !defined(_WIN32)
// Linux knows one data folder, the user's; each of the three questions gets it, by the XDG rules.
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
    EXPECT_EQ(MachineDataDirectory(), row.expected);
    EXPECT_EQ(RoamingDataDirectory(), row.expected);
    EXPECT_EQ(LocalDataDirectory(), row.expected);
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
