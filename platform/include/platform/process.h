// Processes: the running programs, and starting a program in the active console session under
// the console user's token, as a service does for a desktop program.
// Windows: Toolhelp snapshots, WTSGetActiveConsoleSessionId, WTSQueryUserToken,
// ProcessIdToSessionId, OpenProcessToken, DuplicateTokenEx, SetTokenInformation,
// CreateEnvironmentBlock, CreateProcessAsUserW on "WinSta0\Default". Linux: /proc, and
// posix_spawn as the calling user (one session; a token stands for this process's own user).
// Every call is thread-safe and blocks only on the system; failures set LastError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::process {

struct Entry {
  uint32_t pid = 0;
  std::string name;  // the program file's name as the system lists it ("PemrikProcessor.exe")
};

// Every running process (Linux: zombies left out). false: no snapshot could be taken.
bool Snapshot(std::vector<Entry>* entries);

// The program file name of a Windows program name on this system ("x.exe" stays on Windows,
// becomes "x" on Linux).
std::string ProgramFileName(const std::string& windowsName);
// The same in the current folder: ".\x.exe" on Windows, "./x" on Linux.
std::string ProgramInCurrentFolder(const std::string& windowsName);
// Whether the process is still running (not ended, not a zombie).
bool Running(uint32_t pid);
// When the process started, in the system's own units: with the pid it names one process, where
// a pid alone may be reused by another. 0 when it is gone.
uint64_t StartTime(uint32_t pid);

// The active console session (Linux: 0).
uint32_t ActiveConsoleSession();
// false when the process is gone or its session cannot be read.
bool SessionOf(uint32_t pid, uint32_t* session);

// An access token; closes itself.
class Token {
 public:
  virtual ~Token() = default;
  // The raw value, for logs only.
  virtual uintptr_t Value() const = 0;
};

// The token of the user logged on to a session. Null when there is none (no user, no right).
std::unique_ptr<Token> QueryUserToken(uint32_t session);
// The token of a running process, opened with all access. Null on failure.
std::unique_ptr<Token> OpenProcessToken(uint32_t pid);
// A primary token duplicated with the most access allowed, identification level. Null on failure.
std::unique_ptr<Token> DuplicatePrimary(const Token& token);
bool SetTokenSession(Token& token, uint32_t session);

// The environment a program started for the token's user begins with (CreateEnvironmentBlock,
// not inheriting this process's), with variables added or replaced. Linux: this process's.
class Environment {
 public:
  virtual ~Environment() = default;
  virtual void Set(const std::string& name, const std::string& value) = 0;
};
std::unique_ptr<Environment> CreateEnvironment(const Token& token);

// This process's variables whose names begin with `prefix` (NAME, value).
std::vector<std::pair<std::string, std::string>> VariablesStartingWith(const std::string& prefix);

struct StartOptions {
  std::string application;  // the program file; a relative path counts from the current folder
  std::string commandLine;  // the whole command line, program name first; empty: none
  std::string directory;    // empty: this process's current folder
};

// Starts the program with the token in the token's session, on the interactive desktop, shown
// minimized, in a console of its own, with the environment; never waits for it. Linux: as this
// process's user, its end collected in the background. false: not started (LastError says why).
// The program inherits no handle of this process (Linux: only standard input, output and error)
// and starts with every signal unblocked and at its default action.
bool StartAsUser(const Token& token, const StartOptions& options, const Environment& environment,
                 uint32_t* pid = nullptr);
// The same as this process's own user, in its session, with its environment: where there is no
// right to take another user's token (a console run on Windows).
bool StartAsCurrentUser(const StartOptions& options, uint32_t* pid = nullptr);

// Ends a process at once. false: no such process, or no right to end it.
bool Terminate(uint32_t pid);

uint32_t LastError();

}  // namespace platform::process
