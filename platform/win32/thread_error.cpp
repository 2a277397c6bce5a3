#include "platform/thread_error.h"

#include <windows.h>

namespace platform {

void SetThreadError(uint32_t code) { SetLastError(code); }
uint32_t ThreadError() { return GetLastError(); }

}  // namespace platform
