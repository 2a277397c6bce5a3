#include "platform/service.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace platform::service {
namespace {

thread_local uint32_t t_lastError = 0;

constexpr uint32_t kErrorServiceExists = 1073;
constexpr uint32_t kErrorInvalidHandle = 6;

struct ScObject {
  bool manager = false;
  std::string unit;  // "Name.service"
};

std::string UnitPath(const std::string& unit) { return "/etc/systemd/system/" + unit; }

bool SystemdRunning() {
  struct stat st {};
  return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs systemctl with fixed arguments (no shell); stdout into `out`. Returns the exit status.
int Systemctl(std::initializer_list<std::string> args, std::string* out = nullptr) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<char*> argv;
    static char prog[] = "systemctl";
    argv.push_back(prog);
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp("systemctl", argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  char buf[512];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) {
    if (out) out->append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ScObject* Obj(ScHandle h) { return static_cast<ScObject*>(h); }

bool Fail(uint32_t code) {
  t_lastError = code;
  return false;
}

}  // namespace

bool ServesInForegroundByDefault() { return true; }

uint32_t LastError() { return t_lastError; }

// Linux has no dispatcher: the program serves in the foreground (systemd runs it that way).
bool RunDispatcher(const char*, MainRoutine) { return Fail(kErrorFailedServiceControllerConnect); }

StatusHandle RegisterControlHandler(const char*, ControlHandler handler) {
  return InstallConsoleStopHandler(handler) ? reinterpret_cast<StatusHandle>(handler) : nullptr;
}

bool SetStatus(StatusHandle handle, const Status&) { return handle != nullptr || Fail(kErrorInvalidHandle); }

bool InstallConsoleStopHandler(ControlHandler handler) {
  // A signal handler may not log or touch the server; a thread that waits for the signals may.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return Fail(static_cast<uint32_t>(errno));
  std::thread([set, handler]() {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0) handler(kControlStop);
    }
  }).detach();
  return true;
}

bool ReportErrorEvent(const char* source, uint32_t, const std::vector<std::string>& texts) {
  std::string line = source;
  for (const auto& t : texts) line += ": " + t;
  std::fprintf(stderr, "%s\n", line.c_str());
  return true;
}

ScHandle ScOpenManager(uint32_t) {
  if (!SystemdRunning()) {
    std::fprintf(stderr,
                 "systemd is not running on this system, so there is no service to manage; "
                 "run the program without arguments to serve in the foreground.\n");
    Fail(kErrorNoManager);
    return nullptr;
  }
  auto* o = new ScObject;
  o->manager = true;
  return o;
}

ScHandle ScOpenService(ScHandle manager, const char* name, uint32_t) {
  if (!manager) {
    Fail(kErrorInvalidHandle);
    return nullptr;
  }
  std::string unit = std::string(name) + ".service";
  if (::access(UnitPath(unit).c_str(), F_OK) != 0) {
    Fail(kErrorServiceDoesNotExist);
    return nullptr;
  }
  auto* o = new ScObject;
  o->unit = unit;
  return o;
}

std::string ServiceCommandLine(const std::string& programPath) {
  // systemd reads C escapes inside quotes, "%" specifiers and "$" variables everywhere.
  std::string quoted = "\"";
  for (char ch : programPath) {
    if (ch == '\\' || ch == '"') quoted.push_back('\\');
    if (ch == '%' || ch == '$') quoted.push_back(ch);
    quoted.push_back(ch);
  }
  return quoted + "\"";
}

std::string SystemdUnitText(const char* name, const char* displayName, const std::string& programPath) {
  const std::string dir = programPath.substr(0, programPath.find_last_of('/'));
  std::string lower(name);
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return std::string("[Unit]\nDescription=") + displayName + "\nAfter=network.target\n\n" +
         "[Service]\nType=simple\nEnvironmentFile=-/etc/default/" + lower +
         "\nExecStart=" + ServiceCommandLine(programPath) + "\nWorkingDirectory=" + dir +
         "\n\n[Install]\nWantedBy=multi-user.target\n";
}

ScHandle ScCreateService(ScHandle manager, const char* name, const char* displayName, const std::string& programPath) {
  if (!manager) {
    Fail(kErrorInvalidHandle);
    return nullptr;
  }
  std::string unit = std::string(name) + ".service";
  if (::access(UnitPath(unit).c_str(), F_OK) == 0) {
    Fail(kErrorServiceExists);
    return nullptr;
  }
  {
    std::ofstream f(UnitPath(unit));
    f << SystemdUnitText(name, displayName, programPath);
    if (!f) {
      Fail(static_cast<uint32_t>(errno));
      return nullptr;
    }
  }
  Systemctl({"daemon-reload"});
  Systemctl({"enable", "--quiet", unit});
  auto* o = new ScObject;
  o->unit = unit;
  return o;
}

bool ScDeleteService(ScHandle service) {
  if (!service || Obj(service)->manager) return Fail(kErrorInvalidHandle);
  const std::string& unit = Obj(service)->unit;
  Systemctl({"disable", "--quiet", unit});
  if (::unlink(UnitPath(unit).c_str()) != 0) return Fail(static_cast<uint32_t>(errno));
  Systemctl({"daemon-reload"});
  return true;
}

bool ScStartService(ScHandle service) {
  if (!service || Obj(service)->manager) return Fail(kErrorInvalidHandle);
  return Systemctl({"start", "--no-block", Obj(service)->unit}) == 0 || Fail(1053);
}

bool ScQueryStatus(ScHandle service, ProcessStatus* status) {
  if (!service || Obj(service)->manager) return Fail(kErrorInvalidHandle);
  std::string out;
  if (Systemctl({"show", "-p", "ActiveState", "-p", "MainPID", Obj(service)->unit}, &out) != 0) {
    return Fail(1053);
  }
  *status = ProcessStatus{};
  status->serviceType = kWin32OwnProcess;
  status->currentState = kStopped;
  if (out.find("ActiveState=active") != std::string::npos || out.find("ActiveState=reloading") != std::string::npos) {
    status->currentState = kRunning;
    status->controlsAccepted = kAcceptStop;
  } else if (out.find("ActiveState=activating") != std::string::npos) {
    status->currentState = kStartPending;
    status->waitHint = 3000;
  } else if (out.find("ActiveState=deactivating") != std::string::npos) {
    status->currentState = kStopPending;
    status->waitHint = 3000;
  }
  auto pos = out.find("MainPID=");
  if (pos != std::string::npos)
    status->processId = static_cast<uint32_t>(std::strtoul(out.c_str() + pos + 8, nullptr, 10));
  return true;
}

bool ScControlService(ScHandle service, uint32_t control, Status* status) {
  if (!service || Obj(service)->manager) return Fail(kErrorInvalidHandle);
  if (control != kControlStop) return Fail(1052);
  if (Systemctl({"stop", "--no-block", Obj(service)->unit}) != 0) return Fail(1061);
  ProcessStatus ps;
  if (status && ScQueryStatus(service, &ps)) *status = ps;
  return true;
}

void ScCloseHandle(ScHandle handle) { delete Obj(handle); }

uint32_t TickCount() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void ApplyServiceEnvironment(const char*) {}

}  // namespace platform::service
