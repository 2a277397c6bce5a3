#include "platform/dynlib.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>

#include "platform/folders.h"

namespace platform {
namespace {

// Kept per thread at the moment of failure: dlerror() forgets its text once read.
thread_local std::string lastFailure;

std::string TakeDlError(const char* fallback) {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : std::string(fallback);
}

bool EndsWithDll(const std::string& name) {
  if (name.size() < 4) return false;
  const std::string tail = name.substr(name.size() - 4);
  return tail[0] == '.' && std::tolower(static_cast<unsigned char>(tail[1])) == 'd' &&
         std::tolower(static_cast<unsigned char>(tail[2])) == 'l' &&
         std::tolower(static_cast<unsigned char>(tail[3])) == 'l';
}

}  // namespace

std::string DynLibFileName(const char* windowsName) {
  if (windowsName == nullptr) return std::string();
  std::string name(windowsName);
  if (name.empty()) return name;
  if (EndsWithDll(name)) name.resize(name.size() - 4);
  const size_t slash = name.rfind('/');
  const size_t base = (slash == std::string::npos) ? 0 : slash + 1;
  if (base == name.size()) return std::string(windowsName);
  name.insert(base, "lib");
  name += ".so";
  return name;
}

void* ProgramSymbol(const char* name) {
  if (name == nullptr) return nullptr;
  // The program comes first in the global scope, before every library it loaded.
  return dlsym(RTLD_DEFAULT, name);
}

DynLib LoadDynLib(const char* windowsName) {
  if (windowsName == nullptr || *windowsName == '\0') {
    lastFailure = "dlopen: no library name";
    return nullptr;
  }
  const std::string file = DynLibFileName(windowsName);
  std::string besideError;
  if (file[0] != '/') {
    const std::string beside = ProgramDirectory() + "/" + file;
    // Only a library that is there can fail there; its error is then worth reporting.
    if (access(beside.c_str(), F_OK) == 0) {
      if (void* lib = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
      besideError = TakeDlError("dlopen failed");
    }
  }
  if (void* lib = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
  lastFailure = TakeDlError("dlopen failed");
  if (!besideError.empty()) lastFailure = besideError + "; " + lastFailure;
  return nullptr;
}

DynLib LoadDynLibAt(const std::string& path) {
  if (void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
  lastFailure = TakeDlError("dlopen failed");
  return nullptr;
}

void* LoadedSymbol(const char* windowsName, const char* symbol) {
  if (windowsName == nullptr || symbol == nullptr) return nullptr;
  // By its name or soname among the objects loaded; never a second copy from another folder.
  void* lib = dlopen(DynLibFileName(windowsName).c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (lib == nullptr) return nullptr;
  void* found = dlsym(lib, symbol);
  dlclose(lib);  // only the reference NOLOAD took
  return found;
}

void* DynSymbol(DynLib lib, const char* name) {
  if (lib == nullptr || name == nullptr) {
    lastFailure = "dlsym: no library or no symbol name";
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(lib, name);
  if (symbol == nullptr) lastFailure = TakeDlError((std::string("dlsym: ") + name + " is null").c_str());
  return symbol;
}

void FreeDynLib(DynLib lib) {
  if (lib != nullptr && dlclose(lib) != 0) lastFailure = TakeDlError("dlclose failed");
}

std::string DynLibError() { return lastFailure; }

}  // namespace platform
