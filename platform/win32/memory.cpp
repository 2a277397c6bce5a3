#include "platform/memory.h"

#include <malloc.h>

namespace platform {

// The CRT heap already maps blocks past half a megabyte on their own.
void KeepLargeBlocksApart() {}

void ReleaseFreeMemory() { _heapmin(); }

}  // namespace platform
