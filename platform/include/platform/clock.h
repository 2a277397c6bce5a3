// The local calendar time of a moment, through the system's thread-safe conversion (the C
// library's localtime shares one buffer between threads).
#pragma once

#include <ctime>

namespace platform {

// The broken-down local time of `moment`; false when the system cannot convert it.
bool LocalTime(std::time_t moment, std::tm* out);

}  // namespace platform
