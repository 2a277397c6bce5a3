#include "platform/process.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace platform::process {
namespace {

thread_local uint32_t t_error = 0;

template <class T>
T Fail(T result, int error = errno) {
  t_error = static_cast<uint32_t>(error);
  return result;
}

std::string ReadFirstLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The program file's name, or the kernel's short name when the link is not ours to read.
std::string NameOf(const std::string& dir) {
  char target[4096];
  const ssize_t n = readlink((dir + "/exe").c_str(), target, sizeof target - 1);
  if (n > 0) {
    std::string path(target, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
      path.resize(path.size() - deleted.size());
    }
    return path.substr(path.rfind('/') + 1);
  }
  return ReadFirstLine(dir + "/comm");
}

// The state letter after the command name in /proc/PID/stat ('Z': a zombie).
char StateOf(const std::string& dir) {
  const std::string stat = ReadFirstLine(dir + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

class PosixToken final : public Token {
 public:
  uintptr_t Value() const override { return static_cast<uintptr_t>(getuid()); }
};

class PosixEnvironment final : public Environment {
 public:
  PosixEnvironment() {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      const std::string entry(*e);
      const size_t eq = entry.find('=');
      if (eq != std::string::npos) variables_[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  void Set(const std::string& name, const std::string& value) override { variables_[name] = value; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (const auto& [name, value] : variables_) out.push_back(name + "=" + value);
    return out;
  }

 private:
  std::map<std::string, std::string> variables_;
};

}  // namespace

bool Snapshot(std::vector<Entry>* entries) {
  entries->clear();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return Fail(false);
  while (dirent* e = readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    const std::string dir = std::string("/proc/") + e->d_name;
    if (StateOf(dir) == 'Z') continue;
    const std::string name = NameOf(dir);
    if (!name.empty()) entries->push_back({static_cast<uint32_t>(std::stoul(e->d_name)), name});
  }
  closedir(proc);
  return true;
}

std::string ProgramFileName(const std::string& windowsName) {
  const size_t n = windowsName.size();
  if (n > 4 && windowsName[n - 4] == '.' && std::tolower(static_cast<unsigned char>(windowsName[n - 3])) == 'e' &&
      std::tolower(static_cast<unsigned char>(windowsName[n - 2])) == 'x' &&
      std::tolower(static_cast<unsigned char>(windowsName[n - 1])) == 'e') {
    return windowsName.substr(0, n - 4);
  }
  return windowsName;
}

std::string ProgramInCurrentFolder(const std::string& windowsName) { return "./" + ProgramFileName(windowsName); }

bool Running(uint32_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  const char state = StateOf(dir);
  return state != '?' && state != 'Z' && state != 'X';
}

uint32_t ActiveConsoleSession() { return 0; }

bool SessionOf(uint32_t pid, uint32_t* session) {
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return Fail(false);
  *session = 0;
  return true;
}

std::unique_ptr<Token> QueryUserToken(uint32_t) { return std::make_unique<PosixToken>(); }

std::unique_ptr<Token> OpenProcessToken(uint32_t pid) {
  uint32_t session;
  if (!SessionOf(pid, &session)) return nullptr;
  return std::make_unique<PosixToken>();
}

std::unique_ptr<Token> DuplicatePrimary(const Token&) { return std::make_unique<PosixToken>(); }

bool SetTokenSession(Token&, uint32_t session) { return session == 0 ? true : Fail(false, EINVAL); }

std::unique_ptr<Environment> CreateEnvironment(const Token&) { return std::make_unique<PosixEnvironment>(); }

std::vector<std::pair<std::string, std::string>> VariablesStartingWith(const std::string& prefix) {
  std::vector<std::pair<std::string, std::string>> out;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos && entry.compare(0, prefix.size(), prefix) == 0) {
      out.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
  }
  return out;
}

uint64_t StartTime(uint32_t pid) {
  // Field 22 of the stat line, counted after the command name, which may hold blanks.
  const std::string stat = ReadFirstLine("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return 0;
}

bool StartAsUser(const Token&, const StartOptions& options, const Environment& environment, uint32_t* pid) {
  std::vector<std::string> entries = static_cast<const PosixEnvironment&>(environment).Entries();
  std::vector<char*> envp;
  for (std::string& e : entries) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  // As on Windows, the command line names the program first; without one it is the program.
  std::string application = options.application;
  std::vector<std::string> words;
  for (size_t at = 0; at < options.commandLine.size();) {
    const size_t end = std::min(options.commandLine.find(' ', at), options.commandLine.size());
    if (end > at) words.push_back(options.commandLine.substr(at, end - at));
    at = end + 1;
  }
  if (words.empty()) words.push_back(application);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
  // Not even descriptors that lack close-on-exec (the HTTP library's sockets) reach the child: an
  // orphan would hold the service's port.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // A service blocks its stop signals for a watcher thread; the child must still die of them.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, stops;
  sigemptyset(&none);
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) sigaddset(&stops, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &stops);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  const int r = posix_spawn(&child, application.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) return Fail(false, r);
  if (pid != nullptr) *pid = static_cast<uint32_t>(child);
  // Never waited for by the caller: its end is collected here, so that it leaves no zombie.
  std::thread([child] {
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

bool StartAsCurrentUser(const StartOptions& options, uint32_t* pid) {
  return StartAsUser(PosixToken(), options, PosixEnvironment(), pid);
}

bool Terminate(uint32_t pid) { return kill(static_cast<pid_t>(pid), SIGKILL) == 0 ? true : Fail(false); }

uint32_t LastError() { return t_error; }

}  // namespace platform::process
