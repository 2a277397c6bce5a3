#include "platform/dynlib.h"

#include <windows.h>

#include "platform/codepage.h"

namespace platform {
namespace {

// Kept per thread at the moment of failure: later calls would overwrite GetLastError.
thread_local std::string lastFailure;

std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message;
  if (n > 0 && text != nullptr) message.assign(text, n);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() &&
         (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ' || message.back() == L'.')) {
    message.pop_back();
  }
  std::string out = Utf8FromWide(message);
  if (!out.empty()) out += ' ';
  out += "(error " + std::to_string(code) + ")";
  return out;
}

void Fail(const std::string& what, DWORD code) { lastFailure = what + ": " + SystemMessage(code); }

}  // namespace

DynLib LoadDynLib(const char* windowsName) {
  if (windowsName == nullptr || *windowsName == '\0') {
    lastFailure = "LoadLibrary: no library name";
    return nullptr;
  }
  HMODULE lib = LoadLibraryW(WideFromUtf8(windowsName).c_str());
  if (lib == nullptr) Fail(std::string("LoadLibrary ") + windowsName, GetLastError());
  return reinterpret_cast<DynLib>(lib);
}

DynLib LoadDynLibAt(const std::string& path) {
  HMODULE lib = LoadLibraryExW(WideFromUtf8(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (lib == nullptr) Fail("LoadLibraryEx " + path, GetLastError());
  return reinterpret_cast<DynLib>(lib);
}

void* LoadedSymbol(const char* windowsName, const char* symbol) {
  if (windowsName == nullptr || symbol == nullptr) return nullptr;
  HMODULE lib = GetModuleHandleW(WideFromUtf8(windowsName).c_str());
  return lib != nullptr ? reinterpret_cast<void*>(GetProcAddress(lib, symbol)) : nullptr;
}

void* ProgramSymbol(const char* name) {
  if (name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(nullptr), name));
}

void* DynSymbol(DynLib lib, const char* name) {
  if (lib == nullptr || name == nullptr) {
    lastFailure = "GetProcAddress: no library or no symbol name";
    return nullptr;
  }
  FARPROC symbol = GetProcAddress(static_cast<HMODULE>(lib), name);
  if (symbol == nullptr) {
    Fail(std::string("GetProcAddress ") + name, GetLastError());
    return nullptr;
  }
  return reinterpret_cast<void*>(symbol);
}

void FreeDynLib(DynLib lib) {
  if (lib != nullptr && !FreeLibrary(static_cast<HMODULE>(lib))) {
    Fail("FreeLibrary", GetLastError());
  }
}

std::string DynLibError() { return lastFailure; }

std::string DynLibFileName(const char* windowsName) {
  return windowsName == nullptr ? std::string() : std::string(windowsName);
}

}  // namespace platform
