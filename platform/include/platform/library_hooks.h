// A shared library's own load and unload hooks, for the library file alone (its tests link the
// same objects without them). TW_LIBRARY_HOOKS(onLoad, onUnload), written once at namespace
// scope in the library's entry file: onLoad(folder) runs when the system loads the library,
// with the library file's own folder (UTF-8); onUnload() when it unloads it. Windows: DllMain.
// Linux: an ELF constructor and destructor. Both run under the system loader's lock: they may
// not load libraries or wait for other threads. On Linux the load hook may run before the
// library's own static objects are constructed: it may touch only constant-initialised data.
#pragma once

#include <string>

#include "platform/folders.h"

#if defined(_WIN32)
// DllMain's own types, spelled without <windows.h>: BOOL, HINSTANCE, DWORD, LPVOID.
#define TW_LIBRARY_HOOKS(onLoad, onUnload)                               \
  extern "C" int __stdcall DllMain(void*, unsigned long reason, void*) { \
    if (reason == 1 /* DLL_PROCESS_ATTACH */) {                          \
      onLoad(::platform::ModuleDirectory());                             \
    } else if (reason == 0 /* DLL_PROCESS_DETACH */) {                   \
      onUnload();                                                        \
    }                                                                    \
    return 1;                                                            \
  }
#else
#define TW_LIBRARY_HOOKS(onLoad, onUnload)                                                       \
  namespace {                                                                                    \
  __attribute__((constructor)) void TwLibraryLoaded() { onLoad(::platform::ModuleDirectory()); } \
  __attribute__((destructor)) void TwLibraryUnloaded() { onUnload(); }                           \
  }
#endif
