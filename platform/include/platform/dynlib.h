// Dynamic libraries loaded at run time by their Windows file name ("devtool.dll").
// On Linux "name.dll" is looked for as "libname.so", first beside the running program,
// then by the dynamic loader's ordinary search. Loading runs the library's start-up code, which
// may block as long as that code does; the calls are thread-safe, as the system's loader is.
#pragma once

#include <string>

namespace platform {

using DynLib = void*;

DynLib LoadDynLib(const char* windowsName);  // null when missing or it cannot be loaded
// A library by its full path (UTF-8). On Windows the libraries it needs are looked for in its
// own folder first (the altered search path), so that a vendor's library finds its companions.
DynLib LoadDynLibAt(const std::string& path);
void* DynSymbol(DynLib lib, const char* name);  // null when the name is missing
void FreeDynLib(DynLib lib);                    // null is allowed
// A symbol of a library this process has loaded already (linked by import, say), by its Windows
// file name; null when that library is not loaded or lacks the name. Loads nothing, so it finds
// the very copy the program uses.
void* LoadedSymbol(const char* windowsName, const char* symbol);
// A name the running program itself exports (Windows: its export table; Linux: its dynamic
// symbols), whichever module asks; null when it has none of that name.
void* ProgramSymbol(const char* name);
std::string DynLibError();  // text of this thread's last failure, for logs

// The platform's file name for a library: "devtool.dll" stays as it is on Windows and becomes
// "libdevtool.so" on Linux.
std::string DynLibFileName(const char* windowsName);

}  // namespace platform
