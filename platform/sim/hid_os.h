// What each OS backend of platform/hid.h provides; the common part adds virtual devices.
#pragma once

#include <cstdint>
#include <string>

#include "platform/hid.h"

namespace platform::hid::os {

bool DevicePathAt(int index, std::string* path);
Device* Open(const std::string& path);
// Keeps the system's error code of a failed call on this thread, for hid::LastError.
void RecordError(uint32_t code);

}  // namespace platform::hid::os
