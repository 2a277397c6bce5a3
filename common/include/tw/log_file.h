// Where the one logger writes, for the pages that show the log.
#pragma once

#include <string>

namespace tw::log {

// The file the logger writes to ("" when none exists); rolled files are name.1.txt and so on.
std::string FileName();

}  // namespace tw::log
