#include "sim/portrait.h"

#include <cmath>

namespace sim {
namespace {

constexpr int kSide = 32;
// Drawn in the decoded picture's coordinates, so shapes keep their proportions once the
// square block is stretched to 102 x 126.
constexpr double kWidth = 102.0;
constexpr double kHeight = 126.0;
constexpr int kSubsamples = 4;  // per axis; smooths the edges at this tiny size

// Squared normalised distance from an ellipse's centre: below 1 inside.
double Ellipse(double x, double y, double cx, double cy, double rx, double ry) {
  double dx = (x - cx) / rx;
  double dy = (y - cy) / ry;
  return dx * dx + dy * dy;
}

// Like Ellipse, but squarer: for a crown of hair without a point on top.
double Rounded(double x, double y, double cx, double cy, double rx, double ry) {
  return std::pow(std::fabs(x - cx) / rx, 2.6) + std::pow(std::fabs(y - cy) / ry, 2.6);
}

double Tone(double x, double y) {
  // Light background, a little darker towards the bottom.
  double v = 232.0 - 18.0 * y / kHeight;

  // Short hair behind the head, down to the ears.
  if (Rounded(x, y, 51, 50, 28, 30) < 1 && y < 64) v = 48;

  // Neck, shaded under the chin.
  if (std::fabs(x - 51) < 11 && y > 70) v = (y < 88) ? 138 : 166;

  // Shoulders in a dark jacket, with a lighter shirt opening at the neck.
  if (Ellipse(x, y, 51, 136, 66, 36) < 1) {
    v = 60.0 + 14.0 * (1.0 - std::fabs(x - 51) / 66);
    if (std::fabs(x - 51) < (y - 98) * 0.35 + 2) v = 215;
  }

  // Ears.
  if (Ellipse(x, y, 27, 54, 4.5, 8) < 1 || Ellipse(x, y, 75, 54, 4.5, 8) < 1) v = 168;

  // Face: mid-light, darkening towards its edge.
  double face = Ellipse(x, y, 51, 53, 23, 30);
  if (face < 1) {
    v = 205.0 - 38.0 * face * face;

    // Fringe: hair over the forehead, parted to one side.
    double hairline = 36.0 - 0.006 * (x - 40) * (x - 40) + 0.10 * (x - 40);
    if (y < hairline) v = 52;

    // Eyebrows.
    if (Ellipse(x, y, 40, 41.5, 7, 1.9) < 1 || Ellipse(x, y, 62, 41.5, 7, 1.9) < 1) v = 70;

    // Eyes: whites with dark irises.
    for (double ex : {40.0, 62.0}) {
      if (Ellipse(x, y, ex, 48.5, 6, 2.8) < 1) {
        v = 228;
        if (Ellipse(x, y, ex, 48.5, 2.8, 2.8) < 1) v = 30;
      }
    }

    // Nose: a shadow down its side and nostrils.
    if (std::fabs(x - (53.5 - 0.1 * (y - 50))) < 1.6 && y > 50 && y < 62) v -= 45;
    if (Ellipse(x, y, 47.5, 64, 2.6, 1.5) < 1 || Ellipse(x, y, 55.5, 64, 2.6, 1.5) < 1) v = 110;
    if (Ellipse(x, y, 51, 65.5, 6, 1.2) < 1) v -= 25;

    // Mouth.
    if (Ellipse(x, y, 51, 72.5, 7.5, 2.2) < 1) v = 112;
  }
  return v;
}

}  // namespace

std::vector<uint8_t> MakePortraitBlock() {
  std::vector<uint8_t> block(kSide * kSide);
  const double cellW = kWidth / kSide;
  const double cellH = kHeight / kSide;
  for (int row = 0; row < kSide; ++row) {
    for (int col = 0; col < kSide; ++col) {
      double sum = 0;
      for (int sy = 0; sy < kSubsamples; ++sy) {
        for (int sx = 0; sx < kSubsamples; ++sx) {
          sum += Tone((col + (sx + 0.5) / kSubsamples) * cellW, (row + (sy + 0.5) / kSubsamples) * cellH);
        }
      }
      double v = sum / (kSubsamples * kSubsamples);
      if (v < 0) v = 0;
      if (v > 255) v = 255;
      block[row * kSide + col] = static_cast<uint8_t>(std::lround(v));
    }
  }
  return block;
}

}  // namespace sim
