// How the process heap gives memory back to the system. A service that briefly holds large
// request bodies for hundreds of clients should return to its idle size afterwards.
#pragma once

#include <cstddef>

namespace platform {

// Once, before serving: large blocks (bodies, photos) get mappings of their own, which go back
// to the system as soon as they are freed, instead of settling in the heap.
void KeepLargeBlocksApart();

// Hands free heap pages back to the system. Costs a walk over the heap: call it when a burst
// is over, not per request.
void ReleaseFreeMemory();

// The process's resident memory (working set) in bytes; 0 when it cannot be read.
std::size_t ResidentBytes();

}  // namespace platform
