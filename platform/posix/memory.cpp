#include "platform/memory.h"

#include <unistd.h>

#include <cstdio>
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

size_t ResidentBytes() {
  // The second figure of statm is the resident set in pages; one short read, no allocation.
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long long size = 0, resident = 0;
  const int n = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  if (n != 2) return 0;
  const long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<size_t>(resident * static_cast<unsigned long long>(page)) : 0;
}

}  // namespace platform
