#include "fingerprint_picture.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tw/bmp.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

}  // namespace

void HexToBytes(const char* text, unsigned char* out, int length) {
  if (text == nullptr || out == nullptr) return;
  for (int i = 0; i < length - 1; i += 2) {
    out[i / 2] = static_cast<unsigned char>(16 * HexValue(text[i]) + HexValue(text[i + 1]));
  }
}

void BuildGrayBmp(unsigned char** file, const unsigned char* pixels, int* fileSize) {
  if (file == nullptr || fileSize == nullptr) return;
  *file = nullptr;
  *fileSize = 0;
  // 19685 pixels per metre is 500 dpi, a fingerprint sensor's resolution; padding (none at
  // this width) is 0xFF.
  tw::bmp::Options options;
  options.pixelsPerMetre = 19685;
  options.fill = 0xFF;
  const std::vector<uint8_t> bmp = tw::bmp::Grey8(kFprWidth, kFprHeight, pixels, options);
  if (bmp.empty()) return;
  auto* image = static_cast<unsigned char*>(std::malloc(bmp.size()));
  if (image == nullptr) return;
  std::memcpy(image, bmp.data(), bmp.size());
  *file = image;
  *fileSize = static_cast<int>(bmp.size());
}
