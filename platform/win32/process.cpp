#include "platform/process.h"

#include <windows.h>

#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include "platform/codepage.h"

namespace platform::process {
namespace {

class Win32Token final : public Token {
 public:
  explicit Win32Token(HANDLE h) : handle_(h) {}
  ~Win32Token() override { ::CloseHandle(handle_); }
  uintptr_t Value() const override { return reinterpret_cast<uintptr_t>(handle_); }
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
};

HANDLE Handle(const Token& token) { return static_cast<const Win32Token&>(token).handle(); }

// NAME=value texts of an environment block, each without its terminator.
std::vector<std::wstring> Entries(const wchar_t* block) {
  std::vector<std::wstring> out;
  for (const wchar_t* p = block; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) out.emplace_back(p);
  return out;
}

class Win32Environment final : public Environment {
 public:
  explicit Win32Environment(std::vector<std::wstring> entries) : entries_(std::move(entries)) {}
  void Set(const std::string& name, const std::string& value) override {
    const std::wstring key = WideFromUtf8(name) + L"=";
    for (std::wstring& e : entries_) {
      if (e.size() >= key.size() && ::CompareStringOrdinal(e.c_str(), static_cast<int>(key.size()), key.c_str(),
                                                           static_cast<int>(key.size()), TRUE) == CSTR_EQUAL) {
        e = key + WideFromUtf8(value);
        return;
      }
    }
    entries_.push_back(key + WideFromUtf8(value));
  }
  std::wstring Block() const {
    std::wstring block;
    for (const std::wstring& e : entries_) {
      block += e;
      block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
  }

 private:
  std::vector<std::wstring> entries_;
};

}  // namespace

bool Snapshot(std::vector<Entry>* entries) {
  entries->clear();
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof e;
  for (BOOL more = ::Process32FirstW(snapshot, &e); more; more = ::Process32NextW(snapshot, &e)) {
    entries->push_back({e.th32ProcessID, Utf8FromWide(e.szExeFile)});
  }
  ::CloseHandle(snapshot);
  return true;
}

std::string ProgramFileName(const std::string& windowsName) { return windowsName; }

std::string ProgramInCurrentFolder(const std::string& windowsName) { return ".\\" + windowsName; }

bool Running(uint32_t pid) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  DWORD code = 0;
  const bool running = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  ::CloseHandle(process);
  return running;
}

uint32_t ActiveConsoleSession() { return ::WTSGetActiveConsoleSessionId(); }

bool SessionOf(uint32_t pid, uint32_t* session) {
  DWORD s = 0;
  if (!::ProcessIdToSessionId(pid, &s)) return false;
  *session = s;
  return true;
}

std::unique_ptr<Token> QueryUserToken(uint32_t session) {
  HANDLE h = nullptr;
  if (!::WTSQueryUserToken(session, &h)) return nullptr;
  return std::make_unique<Win32Token>(h);
}

std::unique_ptr<Token> OpenProcessToken(uint32_t pid) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) return nullptr;
  HANDLE h = nullptr;
  const BOOL ok = ::OpenProcessToken(process, TOKEN_ALL_ACCESS, &h);
  const DWORD error = ::GetLastError();
  ::CloseHandle(process);
  ::SetLastError(error);
  return ok ? std::make_unique<Win32Token>(h) : nullptr;
}

std::unique_ptr<Token> DuplicatePrimary(const Token& token) {
  HANDLE h = nullptr;
  if (!::DuplicateTokenEx(Handle(token), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary, &h)) {
    return nullptr;
  }
  return std::make_unique<Win32Token>(h);
}

bool SetTokenSession(Token& token, uint32_t session) {
  DWORD s = session;
  return ::SetTokenInformation(Handle(token), TokenSessionId, &s, sizeof s) != FALSE;
}

std::unique_ptr<Environment> CreateEnvironment(const Token& token) {
  void* block = nullptr;
  if (!::CreateEnvironmentBlock(&block, Handle(token), FALSE)) return nullptr;
  auto env = std::make_unique<Win32Environment>(Entries(static_cast<const wchar_t*>(block)));
  ::DestroyEnvironmentBlock(block);
  return env;
}

std::vector<std::pair<std::string, std::string>> VariablesStartingWith(const std::string& prefix) {
  std::vector<std::pair<std::string, std::string>> out;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const std::wstring& e : Entries(block)) {
    const size_t eq = e.find(L'=', 1);  // "=C:=C:\" entries begin with '='
    if (eq == std::wstring::npos) continue;
    const std::string name = Utf8FromWide(e.substr(0, eq));
    if (name.compare(0, prefix.size(), prefix) == 0) out.emplace_back(name, Utf8FromWide(e.substr(eq + 1)));
  }
  ::FreeEnvironmentStringsW(block);
  return out;
}

uint64_t StartTime(uint32_t pid) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return 0;
  FILETIME created{}, exited{}, kernel{}, user{};
  DWORD code = 0;
  const bool known = ::GetProcessTimes(process, &created, &exited, &kernel, &user) &&
                     ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  ::CloseHandle(process);
  return known ? (static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime) : 0;
}

namespace {

// Started on the interactive desktop, minimized, in a console of its own; with no handle of
// this process (inheritance off): an orphan must not hold the service's sockets.
bool Start(HANDLE token, const StartOptions& options, const std::wstring* environment, uint32_t* pid) {
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  wchar_t desktop[] = L"WinSta0\\Default";
  si.lpDesktop = desktop;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_SHOWMINIMIZED;
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE;
  const std::wstring application = WideFromUtf8(options.application);
  std::wstring commandLine = WideFromUtf8(options.commandLine);
  const std::wstring directory = WideFromUtf8(options.directory);
  std::wstring block = environment != nullptr ? *environment : std::wstring();
  void* env = environment != nullptr ? &block[0] : nullptr;
  wchar_t* line = commandLine.empty() ? nullptr : &commandLine[0];
  const wchar_t* dir = directory.empty() ? nullptr : directory.c_str();
  PROCESS_INFORMATION pi = {};
  const BOOL ok =
      token != nullptr
          ? ::CreateProcessAsUserW(token, application.c_str(), line, nullptr, nullptr, FALSE, flags, env, dir, &si, &pi)
          : ::CreateProcessW(application.c_str(), line, nullptr, nullptr, FALSE, flags, env, dir, &si, &pi);
  if (!ok) return false;
  if (pid != nullptr) *pid = pi.dwProcessId;
  ::CloseHandle(pi.hProcess);
  ::CloseHandle(pi.hThread);
  return true;
}

}  // namespace

bool StartAsUser(const Token& token, const StartOptions& options, const Environment& environment, uint32_t* pid) {
  const std::wstring block = static_cast<const Win32Environment&>(environment).Block();
  return Start(Handle(token), options, &block, pid);
}

bool StartAsCurrentUser(const StartOptions& options, uint32_t* pid) { return Start(nullptr, options, nullptr, pid); }

bool Terminate(uint32_t pid) {
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (process == nullptr) return false;
  const BOOL ok = ::TerminateProcess(process, 1);
  ::CloseHandle(process);
  return ok != FALSE;
}

uint32_t LastError() { return ::GetLastError(); }

}  // namespace platform::process
