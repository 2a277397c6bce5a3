#include "fingerprint_picture.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tw/bmp.h"

namespace {

// A table rather than comparisons: a picture's digits are as good as random, and branches on
// them mispredict.
struct HexTable {
  unsigned char value[256] = {};
  constexpr HexTable() {
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<unsigned char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<unsigned char>(c - 'A' + 10);
  }
};
constexpr HexTable kHex;

unsigned char HexValue(char c) { return kHex.value[static_cast<unsigned char>(c)]; }

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
