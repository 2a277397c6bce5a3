// Both links look for the terminal the same way: open each candidate in turn, keep the first
// that identifies as the terminal, close the others again.
#pragma once

#include <cstddef>

namespace jrs {

// openAt(i) opens candidate i (null when it cannot be opened); the first device `isTerminal`
// accepts is returned open; null when none is.
template <typename Device, typename OpenAt, typename IsTerminal, typename Close>
Device* FirstTerminal(size_t candidates, OpenAt openAt, IsTerminal isTerminal, Close close) {
  for (size_t i = 0; i < candidates; ++i) {
    Device* device = openAt(i);
    if (device == nullptr) continue;
    if (isTerminal(device)) return device;
    close(device);
  }
  return nullptr;
}

}  // namespace jrs
