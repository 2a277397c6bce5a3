// Calling convention and export macros: the one place outside the backends that knows the OS.
#pragma once

#if defined(_WIN32)
#define TW_STDCALL __stdcall
#else
#define TW_STDCALL
#endif

// Exports carry C names; on Windows the .def file of each library fixes the exported names, on
// Linux everything else of a library stays hidden.
#if defined(_WIN32)
#define TW_EXPORT extern "C"
#else
#define TW_EXPORT extern "C" __attribute__((visibility("default")))
#endif
