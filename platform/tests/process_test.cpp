#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/version.h"

namespace platform::process {
namespace {

TEST(Process, TheSnapshotListsThisProgram) {
  std::vector<Entry> entries;
  ASSERT_TRUE(Snapshot(&entries));
  std::string self = ProgramPath();
  self = self.substr(self.find_last_of("\\/") + 1);
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&self](const Entry& e) { return e.name == self; })) << self;
}

TEST(Process, WindowsProgramNames) {
#if defined(_WIN32)
  EXPECT_EQ(ProgramFileName("PemrikProcessor.exe"), "PemrikProcessor.exe");
  EXPECT_EQ(ProgramInCurrentFolder("PemrikProcessor.exe"), ".\\PemrikProcessor.exe");
#else
  EXPECT_EQ(ProgramFileName("PemrikProcessor.exe"), "PemrikProcessor");
  EXPECT_EQ(ProgramFileName("tool.EXE"), "tool");
  EXPECT_EQ(ProgramFileName("exe"), "exe");
  EXPECT_EQ(ProgramInCurrentFolder("PemrikProcessor.exe"), "./PemrikProcessor");
#endif
}

// The console user's token starts a program, which runs to its end on its own.
TEST(Process, StartsAProgramWithTheUsersToken) {
  auto token = QueryUserToken(ActiveConsoleSession());
  ASSERT_NE(token, nullptr) << LastError();
  auto primary = DuplicatePrimary(*token);
  ASSERT_NE(primary, nullptr) << LastError();
  ASSERT_TRUE(SetTokenSession(*primary, ActiveConsoleSession()));
  auto environment = CreateEnvironment(*primary);
  ASSERT_NE(environment, nullptr);
  environment->Set("TARNWICK_PROCESS_TEST", "1");
  StartOptions options;
  options.application = ProgramDirectory() + "/" + ProgramFileName("tw_version_probe.exe");
  options.commandLine = "tw_version_probe dir";
  uint32_t pid = 0;
  ASSERT_TRUE(StartAsUser(*primary, options, *environment, &pid)) << LastError();
  EXPECT_NE(pid, 0u);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Running(pid) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(Running(pid));
}

TEST(Process, MissingProgramsAndProcesses) {
  auto token = QueryUserToken(ActiveConsoleSession());
  ASSERT_NE(token, nullptr);
  auto environment = CreateEnvironment(*token);
  StartOptions options;
  options.application = ProgramDirectory() + "/no-such-program.exe";
  EXPECT_FALSE(StartAsUser(*token, options, *environment));
  EXPECT_FALSE(Running(0x7FFFFFF0));
  EXPECT_FALSE(Terminate(0x7FFFFFF0));
  EXPECT_EQ(OpenProcessToken(0x7FFFFFF0), nullptr);
}

TEST(Process, VariablesByPrefix) {
  const auto all = VariablesStartingWith("");
  EXPECT_FALSE(all.empty());
  for (const auto& [name, value] : VariablesStartingWith("PATH")) EXPECT_EQ(name.rfind("PATH", 0), 0u) << name;
}

}  // namespace
}  // namespace platform::process
