#include "platform/service.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/codepage.h"

namespace platform::service {
namespace {

MainRoutine g_main = nullptr;
ControlHandler g_consoleHandler = nullptr;

void WINAPI DispatcherMain(DWORD argc, LPWSTR* argv) {
  if (g_main) g_main(argc, argv);
}

BOOL WINAPI ConsoleCtrl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (g_consoleHandler) g_consoleHandler(kControlStop);
      return TRUE;
    default:
      return FALSE;
  }
}

SC_HANDLE Sc(ScHandle h) { return static_cast<SC_HANDLE>(h); }

// SERVICE_STATUS_PROCESS begins with the fields of SERVICE_STATUS.
template <typename WinStatus>
void CopyStatus(const WinStatus& in, Status* out) {
  out->serviceType = in.dwServiceType;
  out->currentState = in.dwCurrentState;
  out->controlsAccepted = in.dwControlsAccepted;
  out->win32ExitCode = in.dwWin32ExitCode;
  out->serviceSpecificExitCode = in.dwServiceSpecificExitCode;
  out->checkPoint = in.dwCheckPoint;
  out->waitHint = in.dwWaitHint;
}

}  // namespace

bool ServesInForegroundByDefault() { return false; }

uint32_t LastError() { return ::GetLastError(); }

bool RunDispatcher(const char* name, MainRoutine main) {
  g_main = main;
  std::wstring wname = WideFromUtf8(name);
  SERVICE_TABLE_ENTRYW table[] = {{wname.data(), DispatcherMain}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

StatusHandle RegisterControlHandler(const char* name, ControlHandler handler) {
  // LPHANDLER_FUNCTION is WINAPI; our handler is a plain function of the same shape on the
  // 64-bit build but not on the 32-bit one, so keep it behind a trampoline.
  static ControlHandler s_handler = nullptr;
  s_handler = handler;
  struct Trampoline {
    static VOID WINAPI Call(DWORD control) {
      if (s_handler) s_handler(control);
    }
  };
  return ::RegisterServiceCtrlHandlerW(WideFromUtf8(name).c_str(), Trampoline::Call);
}

bool SetStatus(StatusHandle handle, const Status& s) {
  SERVICE_STATUS st{};
  st.dwServiceType = s.serviceType;
  st.dwCurrentState = s.currentState;
  st.dwControlsAccepted = s.controlsAccepted;
  st.dwWin32ExitCode = s.win32ExitCode;
  st.dwServiceSpecificExitCode = s.serviceSpecificExitCode;
  st.dwCheckPoint = s.checkPoint;
  st.dwWaitHint = s.waitHint;
  return ::SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &st) != FALSE;
}

bool InstallConsoleStopHandler(ControlHandler handler) {
  g_consoleHandler = handler;
  return ::SetConsoleCtrlHandler(ConsoleCtrl, TRUE) != FALSE;
}

void ApplyServiceEnvironment(const char* name) {
  if (name == nullptr) return;
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + WideFromUtf8(name);
  HKEY k = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return;
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(k, L"Environment", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ &&
      size > 0 && size < 65536) {
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 2, L'\0');
    if (::RegQueryValueExW(k, L"Environment", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) ==
        ERROR_SUCCESS) {
      for (const wchar_t* p = text.data(); *p != L'\0'; p += wcslen(p) + 1) {
        const std::wstring entry(p);
        const size_t eq = entry.find(L'=');
        if (eq == std::wstring::npos || eq == 0) continue;
        const std::wstring variable = entry.substr(0, eq);
        if (::GetEnvironmentVariableW(variable.c_str(), nullptr, 0) != 0) continue;
        // The C runtime keeps its own copy, which getenv reads.
        _wputenv_s(variable.c_str(), entry.c_str() + eq + 1);
      }
    }
  }
  ::RegCloseKey(k);
}

bool ReportErrorEvent(const char* source, uint32_t eventId, const std::vector<std::string>& texts) {
  HANDLE h = ::RegisterEventSourceW(nullptr, WideFromUtf8(source).c_str());
  if (h == nullptr) return false;
  std::vector<std::wstring> wide;
  wide.reserve(texts.size());
  for (const auto& t : texts) wide.push_back(WideFromUtf8(t));
  std::vector<LPCWSTR> strings;
  for (const auto& w : wide) strings.push_back(w.c_str());
  ::ReportEventW(h, EVENTLOG_ERROR_TYPE, 0, eventId, nullptr, static_cast<WORD>(strings.size()), 0, strings.data(),
                 nullptr);
  ::DeregisterEventSource(h);
  return true;
}

ScHandle ScOpenManager(uint32_t access) { return ::OpenSCManagerW(nullptr, nullptr, access); }

ScHandle ScOpenService(ScHandle manager, const char* name, uint32_t access) {
  return ::OpenServiceW(Sc(manager), WideFromUtf8(name).c_str(), access);
}

std::string ServiceCommandLine(const std::string& programPath) { return "\"" + programPath + "\""; }

std::string SystemdUnitText(const char*, const char*, const std::string&) { return std::string(); }

ScHandle ScCreateService(ScHandle manager, const char* name, const char* displayName, const std::string& programPath) {
  return ::CreateServiceW(Sc(manager), WideFromUtf8(name).c_str(), WideFromUtf8(displayName).c_str(),
                          SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                          WideFromUtf8(ServiceCommandLine(programPath)).c_str(), nullptr, nullptr, nullptr, nullptr,
                          nullptr);
}

bool ScDeleteService(ScHandle service) { return ::DeleteService(Sc(service)) != FALSE; }

bool ScStartService(ScHandle service) { return ::StartServiceW(Sc(service), 0, nullptr) != FALSE; }

bool ScControlService(ScHandle service, uint32_t control, Status* status) {
  SERVICE_STATUS st{};
  if (!::ControlService(Sc(service), control, &st)) return false;
  if (status) CopyStatus(st, status);
  return true;
}

bool ScQueryStatus(ScHandle service, ProcessStatus* status) {
  SERVICE_STATUS_PROCESS st{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(Sc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed)) {
    return false;
  }
  CopyStatus(st, status);
  status->processId = st.dwProcessId;
  return true;
}

void ScCloseHandle(ScHandle handle) {
  if (handle) ::CloseServiceHandle(Sc(handle));
}

uint32_t TickCount() { return ::GetTickCount(); }

void SleepMs(uint32_t ms) { ::Sleep(ms); }

}  // namespace platform::service
