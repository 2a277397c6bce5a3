// Where things are: the running program, the module (library or program) this code is linked
// into, the system's library folder, and the folders for data, the machine's and the user's.
// One function per question. Paths are UTF-8, without a trailing separator; empty when the
// system knows none. Thread-safe; nothing here blocks beyond a file-system query.
#pragma once

#include <string>

namespace platform {

// The running program's file, and its folder.
std::string ProgramPath();
std::string ProgramDirectory();

// The library or program file that holds the calling code, and its folder. A library asks this
// for its own folder, which ProgramDirectory (its host's) is not.
std::string ModulePath();
std::string ModuleDirectory();

// Windows: the system folder (GetSystemDirectoryW, "C:\Windows\system32"). Linux: "/usr/lib".
std::string SystemDirectory();

// Data the programs keep for every user of the machine: the ProgramData known folder on
// Windows. Linux has one data folder per user, and this is it ($XDG_DATA_HOME, else
// ~/.local/share; not created here).
std::string MachineDataDirectory();

// The user's roaming application data (CSIDL_APPDATA, for example C:\Users\li\AppData\Roaming)
// and local application data (FOLDERID_LocalAppData). On Linux both are the one per-user data
// folder above.
std::string RoamingDataDirectory();
std::string LocalDataDirectory();

}  // namespace platform
