// Folders a program or library finds its files in: the user's application-data folder and the
// folder of the module (program or library file) that holds a given address. Paths are UTF-8,
// without a trailing separator. Thread-safe; neither blocks on anything but the file system.
#pragma once

#include <string>

namespace platform {

// Windows: CSIDL_APPDATA (for example C:\Users\li\AppData\Roaming). Linux: $XDG_DATA_HOME, else
// $HOME/.local/share (not created here). Empty when the system knows none.
std::string AppDataDirectory();

// The folder of the module whose code or data holds `address` (pass the address of one of the
// module's own functions or variables). Empty when it cannot be found.
std::string ModuleDirectory(const void* address);

}  // namespace platform
