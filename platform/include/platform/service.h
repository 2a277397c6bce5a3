// Service host and service manager client. Windows: the service control manager (SCM) and the
// event log. Linux: a foreground process whose stop control is SIGTERM/SIGINT; the manager
// client drives a systemd unit where systemd runs, and fails with kErrorNoManager elsewhere.
// States, controls, rights and error codes carry the Windows API's numbers on every system, so
// a status goes to the SCM as it is and the command words report the same codes everywhere.
// Every call sets LastError on failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::service {

// Service types, states, controls.
constexpr uint32_t kWin32OwnProcess = 0x10;
constexpr uint32_t kStopped = 1;
constexpr uint32_t kStartPending = 2;
constexpr uint32_t kStopPending = 3;
constexpr uint32_t kRunning = 4;
constexpr uint32_t kControlStop = 1;
constexpr uint32_t kAcceptStop = 1;
constexpr uint32_t kNoError = 0;

// Access rights.
constexpr uint32_t kManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kServiceQueryStatus = 0x0004;
constexpr uint32_t kServiceEnumerateDependents = 0x0008;
constexpr uint32_t kServiceStop = 0x0020;

// Error codes the callers look at.
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorNoManager = 1115;        // no service manager on this system
constexpr uint32_t kErrorServiceSpecific = 1066;  // the service's own code tells the failure

struct Status {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

struct ProcessStatus : Status {
  uint32_t processId = 0;
};

using MainRoutine = void (*)(uint32_t argc, wchar_t** argv);
using ControlHandler = void (*)(uint32_t control);
using StatusHandle = void*;
using ScHandle = void*;

// Last error of the calls below (GetLastError on Windows, an errno-like code on Linux).
uint32_t LastError();

// --- Inside the service process ---

// true where no service manager starts the program itself (Linux: systemd runs it as an
// ordinary foreground process), so that a run without arguments serves in the foreground.
bool ServesInForegroundByDefault();
// Connects to the manager and runs `main` on a new thread; blocks until the service has ended.
// false at once when the process was not started by a manager (for example from a console).
bool RunDispatcher(const char* name, MainRoutine main);
// From `main`. The handler later runs on the dispatcher's thread, never on `main`'s; it must
// not block. Null on failure.
StatusHandle RegisterControlHandler(const char* name, ControlHandler handler);
// Thread-safe, does not block. Reports go to the manager in the order of the calls.
bool SetStatus(StatusHandle handle, const Status& status);
// Console runs: Ctrl+C (and SIGTERM on Linux) call handler(kControlStop) on a thread of the
// system's (Windows) or a watcher thread (Linux); the handler must not block.
bool InstallConsoleStopHandler(ControlHandler handler);
// Windows: the variables of the service's "Environment" value (REG_MULTI_SZ, NAME=value) in its
// registry key, set in this process when not set already, as Windows' own manager does and Wine's
// does not. Linux: nothing (the unit's Environment= lines do it). Call before any other thread.
void ApplyServiceEnvironment(const char* name);
// One error entry in the system's event log (Linux: standard error). Does not block on a user.
// false when the event source cannot be registered.
bool ReportErrorEvent(const char* source, uint32_t eventId, const std::vector<std::string>& texts);

// --- Service manager client (the command words) ---
// Each call blocks until the manager answered (systemctl ran); none waits for a state change.
// Null handles and false results mean the manager refused; LastError tells why.

ScHandle ScOpenManager(uint32_t access);
ScHandle ScOpenService(ScHandle manager, const char* name, uint32_t access);
// Own process, automatic start, normal error control, local system account. The command line is
// the program path in quotes: unquoted, a path with blanks ("C:\Program Files (x86)\...") would
// let the manager run C:\Program.exe with the service's rights. Linux: a systemd unit whose
// ExecStart quotes the path the same way, with the environment file /etc/default/<name>.
std::string ServiceCommandLine(const std::string& programPath);
ScHandle ScCreateService(ScHandle manager, const char* name, const char* displayName, const std::string& programPath);
// The unit file ScCreateService writes on Linux.
std::string SystemdUnitText(const char* name, const char* displayName, const std::string& programPath);
bool ScDeleteService(ScHandle service);
bool ScStartService(ScHandle service);
bool ScControlService(ScHandle service, uint32_t control, Status* status);
bool ScQueryStatus(ScHandle service, ProcessStatus* status);
void ScCloseHandle(ScHandle handle);

// Milliseconds since some fixed moment (GetTickCount; wraps after 49 days), and a plain sleep.
uint32_t TickCount();
void SleepMs(uint32_t ms);

}  // namespace platform::service
