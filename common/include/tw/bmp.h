// BMP files: a 40-byte info header, rows stored bottom-up, each padded to 4 bytes. One writer
// for every picture the system makes (card photos of the stand-ins, fingerprint pictures).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tw::bmp {

struct Options {
  uint32_t pixelsPerMetre = 3780;  // 96 dpi
  uint8_t fill = 0;                // the bytes that pad each row
};

// 24 bits per pixel; `bgr` holds width * height pixels of 3 bytes (blue, green, red), top row
// first.
std::vector<uint8_t> Colour24(int width, int height, const uint8_t* bgr, const Options& options = {});
// 8 bits per pixel with a palette of the 256 greys; `grey` holds width * height bytes, top row
// first.
std::vector<uint8_t> Grey8(int width, int height, const uint8_t* grey, const Options& options = {});

// Writes the file whole, or removes what it began: a picture is never left half written.
bool Save(const std::string& path, const std::vector<uint8_t>& file);

}  // namespace tw::bmp
