#include "platform/memory.h"

#include <cstdlib>  // defines __GLIBC__ where it applies

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

void KeepLargeBlocksApart() {
#if defined(__GLIBC__)
  // Fixed, so glibc does not raise the threshold each time such a block is freed (which puts
  // the next ones in the heap, where they stay).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

void ReleaseFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace platform
