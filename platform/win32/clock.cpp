#include "platform/clock.h"

namespace platform {

bool LocalTime(std::time_t moment, std::tm* out) { return out != nullptr && localtime_s(out, &moment) == 0; }

}  // namespace platform
