// A made-up portrait for the simulated card's photo, in our 1024-byte block format:
// 32 x 32 grey pixels, row-major, top row first, 0 black .. 255 white.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

std::vector<uint8_t> MakePortraitBlock();

}  // namespace sim
