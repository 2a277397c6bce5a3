// Made-up fingerprint pictures: ridges around a core, arches towards the tip and the crease,
// inside an oval of skin on a white ground.
#include <algorithm>
#include <cmath>

#include "sim/card_terminal.h"

namespace sim {

Bytes MakeFingerprintPicture(int variant) {
  constexpr double kPi = 3.14159265358979323846;
  constexpr double kRidgePeriod = 7.0;
  Bytes pixels(static_cast<size_t>(kFingerprintWidth * kFingerprintHeight), 255);
  const double cx = 76 + 5 * std::sin(variant * 1.7), cy = 96 + 8 * std::cos(variant * 2.3);
  const double twist = 0.6 + 0.25 * variant;
  for (int y = 0; y < kFingerprintHeight; ++y) {
    for (int x = 0; x < kFingerprintWidth; ++x) {
      const double ox = (x - 76) / 66.0, oy = (y - 100) / 92.0;
      const double oval = ox * ox + oy * oy;
      if (oval >= 1.0) continue;
      const double dx = x - cx, dy = (y - cy) * 0.85;
      const double r = std::sqrt(dx * dx + dy * dy);
      // Rings around the core, bending into arches further out; both smooth, so no seam.
      const double arch = (y - cy) - 0.006 * dx * dx + 2.5 * std::sin(x / 23.0 + variant);
      const double blend = std::min(1.0, r / 60.0);
      const double distance = (1 - blend) * r + blend * (arch * 0.9 + 40);
      const double phase = 2 * kPi * distance / kRidgePeriod + twist * std::sin(std::atan2(dy, dx)) * (1 - blend);
      const double ridge = 0.5 + 0.5 * std::cos(phase);
      const double edge = std::min(1.0, (1.0 - oval) * 6.0);  // pressure fades at the rim
      const double grey = 235 - 200 * ridge * ridge * edge;
      pixels[static_cast<size_t>(y * kFingerprintWidth + x)] = static_cast<uint8_t>(std::lround(grey));
    }
  }
  return pixels;
}

}  // namespace sim
