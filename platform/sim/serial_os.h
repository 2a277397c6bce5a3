// What each OS backend of platform/serial.h provides; the common part adds virtual links.
#pragma once

#include <string>

#include "platform/serial.h"

namespace platform::serial::os {

std::string DeviceName(int port);
Port* Open(int port);

}  // namespace platform::serial::os
