#include "platform/process.h"
#include "platform/folders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tw/testing.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

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

TEST(Process, StartTimeNamesOneProcess) {
  const uint32_t self = static_cast<uint32_t>(
#if defined(_WIN32)
      ::GetCurrentProcessId()
#else
      ::getpid()
#endif
  );
  const uint64_t started = StartTime(self);
  EXPECT_NE(started, 0u);
  EXPECT_EQ(StartTime(self), started);
  EXPECT_EQ(StartTime(0x7FFFFFF0), 0u);
}

#if !defined(_WIN32)
// A service's sockets often lack close-on-exec, and it blocks its stop signals for a watcher
// thread: the child gets neither.
TEST(Process, AChildGetsNoDescriptorsAndDefaultSignals) {
  tw::testing::WorkDirectory work("tw_process_child");
  // No close-on-exec, and above the descriptor ls opens for its own listing.
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  const int leaked = ::fcntl(socket, F_DUPFD, 40);
  ::close(socket);
  ASSERT_GE(leaked, 40);
  sigset_t stops, before;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stops, &before), 0);
  // Each tool looks at itself: what it inherited through the shell (whose own mask changes
  // while it forks).
  std::ofstream("child.sh") << "ls /proc/self/fd > fds.txt\ngrep -E '^Sig(Blk|Ign)' /proc/self/status > signals.txt\n";
  StartOptions options;
  options.application = "/bin/sh";
  options.commandLine = "sh child.sh";
  uint32_t pid = 0;
  const bool started = StartAsCurrentUser(options, &pid);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::close(leaked);
  ASSERT_TRUE(started) << LastError();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Running(pid) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string fds = tw::testing::ReadFile("fds.txt");
  EXPECT_EQ(fds.find(std::to_string(leaked) + "\n"), std::string::npos) << fds;
  const std::string signals = tw::testing::ReadFile("signals.txt");
  EXPECT_NE(signals.find("SigBlk:\t0000000000000000"), std::string::npos) << signals;
  // SIGINT (2) and SIGTERM (15) are not ignored either.
  EXPECT_NE(signals.find("SigIgn:"), std::string::npos) << signals;
  const size_t ign = signals.find("SigIgn:\t");
  if (ign != std::string::npos) {
    const unsigned long long ignored = std::stoull(signals.substr(ign + 8, 16), nullptr, 16);
    EXPECT_EQ(ignored & ((1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1))), 0u) << signals;
  }
}
#endif

}  // namespace
}  // namespace platform::process
