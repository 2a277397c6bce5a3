// The module (library or program) this code is linked into. The platform library is static, so
// each module holds its own copy of this function, and its address names that module.
#pragma once

#include <windows.h>

namespace platform {

inline HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

}  // namespace platform
