// GIF pictures and animations (87a and 89a) decoded into whole frames: each frame is the full
// logical screen as it looks at that moment, pixels 0xAARRGGBB, top row first, with the frame's
// delay. Malformed input never reads or writes out of bounds: it gives nullopt, or the frames
// that were whole before the damage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tw::gif {

struct Frame {
  std::vector<uint32_t> pixels;
  uint32_t delayMs = 100;
};

struct Animation {
  int width = 0;
  int height = 0;
  std::vector<Frame> frames;
};

// nullopt when the data are no GIF, the screen is empty or larger than `maxPixels`, or no
// frame decodes. Frame delays under 20 ms read as 100 ms, as browsers do.
std::optional<Animation> Decode(const uint8_t* data, size_t size, size_t maxPixels = 1u << 22, size_t maxFrames = 512);

// An animation made of palette pictures, for the pictures the project makes itself: `palette`
// holds up to 256 colours 0xRRGGBB, each frame width * height indices into it, top row first.
// Loops for ever. Empty when the sizes do not fit together.
struct IndexedFrame {
  std::vector<uint8_t> indices;
  uint32_t delayMs = 100;
};
std::vector<uint8_t> Encode(int width, int height, const std::vector<uint32_t>& palette,
                            const std::vector<IndexedFrame>& frames);

}  // namespace tw::gif
