// What each OS backend of platform/usbtree.h provides; the common part adds the virtual tree.
#pragma once

#include "platform/usbtree.h"

namespace platform::usbtree::os {

void Walk(const std::function<void(const DeviceId&)>& visit);

}  // namespace platform::usbtree::os
