// What each OS backend of platform/scsi.h provides; the common part adds virtual targets.
#pragma once

#include <string>
#include <vector>

#include "platform/scsi.h"

namespace platform::scsi::os {

std::vector<std::string> DiskPaths();
Device* Open(const std::string& path);

}  // namespace platform::scsi::os
