#include "tw/bmp.h"

#include <cstdio>

namespace tw::bmp {
namespace {

constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kHeadersSize = 14 + kInfoHeaderSize;

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Headers, palette and rows; `bytesPerPixel` of each top-down source row go to their bottom-up
// place.
std::vector<uint8_t> Build(int width, int height, int bitsPerPixel, const uint8_t* pixels, const Options& options) {
  if (width <= 0 || height <= 0 || pixels == nullptr) return {};
  const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
  const uint32_t bytesPerPixel = static_cast<uint32_t>(bitsPerPixel) / 8;
  const uint32_t rowSize = (w * bitsPerPixel + 31) / 32 * 4;
  const uint32_t paletteSize = bitsPerPixel == 8 ? 256 * 4 : 0;
  const uint32_t offset = kHeadersSize + paletteSize;
  std::vector<uint8_t> file(offset + rowSize * h, options.fill);
  uint8_t* p = file.data();
  p[0] = 'B';
  p[1] = 'M';
  Put32(p + 2, static_cast<uint32_t>(file.size()));
  Put32(p + 6, 0);
  Put32(p + 10, offset);
  Put32(p + 14, kInfoHeaderSize);
  Put32(p + 18, w);
  Put32(p + 22, h);  // positive: rows bottom-up
  Put16(p + 26, 1);
  Put16(p + 28, static_cast<uint32_t>(bitsPerPixel));
  Put32(p + 30, 0);
  Put32(p + 34, rowSize * h);
  Put32(p + 38, options.pixelsPerMetre);
  Put32(p + 42, options.pixelsPerMetre);
  Put32(p + 46, 0);
  Put32(p + 50, 0);
  for (uint32_t i = 0; i < paletteSize / 4; ++i) {
    uint8_t* entry = p + kHeadersSize + 4 * i;
    entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
    entry[3] = 0;
  }
  for (uint32_t r = 0; r < h; ++r) {
    const uint8_t* from = pixels + static_cast<size_t>(r) * w * bytesPerPixel;
    uint8_t* to = p + offset + static_cast<size_t>(h - 1 - r) * rowSize;
    for (uint32_t i = 0; i < w * bytesPerPixel; ++i) to[i] = from[i];
  }
  return file;
}

}  // namespace

std::vector<uint8_t> Colour24(int width, int height, const uint8_t* bgr, const Options& options) {
  return Build(width, height, 24, bgr, options);
}

std::vector<uint8_t> Grey8(int width, int height, const uint8_t* grey, const Options& options) {
  return Build(width, height, 8, grey, options);
}

bool Save(const std::string& path, const std::vector<uint8_t>& file) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  if (std::fclose(f) != 0) ok = false;
  if (!ok) std::remove(path.c_str());
  return ok;
}

}  // namespace tw::bmp
