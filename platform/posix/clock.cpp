#include "platform/clock.h"

namespace platform {

bool LocalTime(std::time_t moment, std::tm* out) { return out != nullptr && localtime_r(&moment, out) != nullptr; }

}  // namespace platform
