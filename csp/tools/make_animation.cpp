// Draws the fingerprint dialog's animation: a fingerprint that a light bar scans from top to
// bottom, twelve frames in a loop. Usage: make_csp_animation OUTPUT.gif
#include <cmath>
#include <cstdio>
#include <fstream>

#include "tw/gif.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.gif\n", argv[0]);
    return 2;
  }
  const int width = 120, height = 140, frames = 12;
  const double cx = 60, cy = 74, rx = 44, ry = 58;
  // White, ridge not yet scanned, ridge scanned, the bar, the bar's glow.
  const std::vector<uint32_t> palette = {0xFFFFFF, 0xC8CDD4, 0x1F4E9C, 0x2EB84B, 0xBFE8C8};
  std::vector<tw::gif::IndexedFrame> animation;
  const double pi = std::acos(-1.0);
  for (int f = 0; f < frames; ++f) {
    tw::gif::IndexedFrame frame;
    frame.delayMs = 90;
    const int bar = static_cast<int>(cy - ry + (2 * ry) * f / (frames - 1));
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const double u = (x - cx) / rx, v = (y - cy) / ry;
        uint8_t colour = 0;
        if (u * u + v * v <= 1.0) {
          // Whorl: rings around a core a little above the middle, bent by the angle.
          const double dx = x - cx, dy = (y - cy + 8) * 0.85;
          const double ring = std::sqrt(dx * dx + dy * dy) + 2.5 * std::sin(std::atan2(dy, dx) * 2 + pi / 3);
          if (std::fmod(ring, 6.0) < 2.6) colour = y < bar ? 2 : 1;
        }
        if (std::abs(y - bar) <= 1 && u * u <= 1.1)
          colour = 3;
        else if (std::abs(y - bar) <= 4 && colour == 0 && u * u <= 1.1)
          colour = 4;
        frame.indices.push_back(colour);
      }
    }
    animation.push_back(std::move(frame));
  }
  const std::vector<uint8_t> file = tw::gif::Encode(width, height, palette, animation);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return out && !file.empty() ? 0 : 1;
}
