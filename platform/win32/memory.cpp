#include "platform/memory.h"

#include <windows.h>
// after windows.h, which it needs
#include <psapi.h>

#include <malloc.h>

namespace platform {

// The CRT heap already maps blocks past half a megabyte on their own.
void KeepLargeBlocksApart() {}

void ReleaseFreeMemory() { _heapmin(); }

size_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  // The kernel32 entry point: no psapi.dll needed.
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize;
}

}  // namespace platform
