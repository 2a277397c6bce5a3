// What the Windows tests of the provider share: registration with regsvr32, contexts through
// advapi32, and the key library's test controls.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include <filesystem>
#include <string>

namespace csptest {

inline const wchar_t kProvider[] = L"Morvel Cryptographic Service Provider";
inline const wchar_t kRegistryKey[] =
    L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Morvel Cryptographic Service Provider";

inline std::wstring Folder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path().wstring();
}

// Runs regsvr32 silently on the module and answers its exit code.
inline DWORD Regsvr32(const std::wstring& module, bool unregister) {
  std::wstring command = L"regsvr32.exe /s " + std::wstring(unregister ? L"/u " : L"") + L"\"" + module + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return ~0u;
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = ~0u;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

// The key library the provider loaded (its name follows the system's language).
inline HMODULE KeyLibrary() {
  for (const wchar_t* name : {L"GEA00001.dll", L"GEA20135.dll"}) {
    if (HMODULE m = GetModuleHandleW(name)) return m;
  }
  return nullptr;
}

inline void Control(const char* setting, int value) {
  HMODULE lib = KeyLibrary();
  ASSERT_NE(lib, nullptr);
  using Fn = void(WINAPI*)(const char*, int);
  auto control = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, "SimGEA_Control")));
  ASSERT_NE(control, nullptr);
  control(setting, value);
}

inline int Calls(const char* function) {
  using Fn = int(WINAPI*)(const char*);
  HMODULE lib = KeyLibrary();
  auto calls = lib ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, "SimGEA_Calls"))) : nullptr;
  return calls != nullptr ? calls(function) : -1;
}

class Prov {
 public:
  Prov(const wchar_t* container, DWORD flags, const wchar_t* provider = kProvider) {
    ok_ = CryptAcquireContextW(&handle_, container, provider, PROV_RSA_FULL, flags);
    error_ = ok_ ? 0 : GetLastError();
  }
  ~Prov() {
    if (ok_ && handle_ != 0) CryptReleaseContext(handle_, 0);
  }
  Prov(const Prov&) = delete;
  Prov& operator=(const Prov&) = delete;
  bool ok() const { return ok_ != FALSE; }
  DWORD error() const { return error_; }
  HCRYPTPROV get() const { return handle_; }

 private:
  HCRYPTPROV handle_ = 0;
  BOOL ok_ = FALSE;
  DWORD error_ = 0;
};

inline DWORD SetPin(HCRYPTPROV prov, const char* pin) {
  return CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(pin), 0) ? 0 : GetLastError();
}

// 0 when a signature of a SHA-1 hash is made, else the error.
inline DWORD SignError(HCRYPTPROV prov) {
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash)) return GetLastError();
  CryptHashData(hash, reinterpret_cast<const BYTE*>("signed"), 6, 0);
  BYTE signature[512];
  DWORD size = sizeof signature;
  const BOOL ok = CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature, &size);
  const DWORD error = ok ? 0 : GetLastError();
  CryptDestroyHash(hash);
  return error;
}

// The provider registered from beside the program for a test suite, with the simulated keys in
// a fresh folder and the PIN given once.
class Registered {
 public:
  explicit Registered(const std::wstring& store) {
    SetEnvironmentVariableW(L"TARNWICK_GEA_STORE", store.c_str());
    module_ = Folder() + L"\\MVCSP.dll";
    registered_ = Regsvr32(module_, false) == 0;
  }
  ~Registered() { Regsvr32(module_, true); }
  bool ok() const { return registered_; }
  const std::wstring& module() const { return module_; }

 private:
  std::wstring module_;
  bool registered_ = false;
};

}  // namespace csptest
