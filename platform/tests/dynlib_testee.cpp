// A library for the dynlib tests to load at run time, with load and unload hooks to observe.
#include <cstdio>
#include <string>

#include "platform/library_hooks.h"

#if defined(_WIN32)
#define TESTEE_EXPORT extern "C" __declspec(dllexport)
#else
#define TESTEE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Constant-initialised: the load hook may run before the library's other static objects exist.
char g_loadedFrom[4096] = {};
void (*g_onUnload)() = nullptr;

void Loaded(const std::string& folder) { std::snprintf(g_loadedFrom, sizeof g_loadedFrom, "%s", folder.c_str()); }
void Unloaded() {
  if (g_onUnload != nullptr) g_onUnload();
}

}  // namespace

TW_LIBRARY_HOOKS(Loaded, Unloaded)

TESTEE_EXPORT int tw_dynlib_testee_answer(int offset) { return 42 + offset; }

// The folder the load hook was given.
TESTEE_EXPORT const char* tw_dynlib_testee_loaded_from() { return g_loadedFrom; }

// Called by the unload hook.
TESTEE_EXPORT void tw_dynlib_testee_on_unload(void (*callback)()) { g_onUnload = callback; }
