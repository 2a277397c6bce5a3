// What each OS backend of platform/hid.h provides; the common part adds virtual devices.
#pragma once

#include <string>

#include "platform/hid.h"

namespace platform::hid::os {

bool DevicePathAt(int index, std::string* path);
Device* Open(const std::string& path);

}  // namespace platform::hid::os
