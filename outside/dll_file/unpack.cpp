// Stand-in for the outside photo decoder. Our block format: 32 x 32 grey pixels, row-major,
// top row first; the decoder writes them scaled to 102 x 126 as a 24-bit "zp.bmp".
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/export.h"
#include "tw/bmp.h"

namespace {

constexpr int kBlockSide = 32;
constexpr int kWidth = 102;
constexpr int kHeight = 126;
constexpr const char* kFileName = "zp.bmp";

// Source position of an output pixel's centre in 1/256 of a block pixel, clamped to the block,
// so that constant blocks stay exactly constant.
struct Tap {
  int index;
  int frac;  // weight of index + 1, 0..255
};

Tap SourceTap(int out, int outSize) {
  int pos = ((2 * out + 1) * kBlockSide * 256) / (2 * outSize) - 128;
  if (pos < 0) pos = 0;
  if (pos > (kBlockSide - 1) * 256) pos = (kBlockSide - 1) * 256;
  Tap t{pos >> 8, pos & 255};
  if (t.index == kBlockSide - 1) t.frac = 0;
  return t;
}

unsigned char Sample(const unsigned char* block, const Tap& tx, const Tap& ty) {
  const unsigned char* row0 = block + ty.index * kBlockSide;
  const unsigned char* row1 = ty.frac ? row0 + kBlockSide : row0;
  int x1 = tx.frac ? tx.index + 1 : tx.index;
  int top = row0[tx.index] * (256 - tx.frac) + row0[x1] * tx.frac;
  int bottom = row1[tx.index] * (256 - tx.frac) + row1[x1] * tx.frac;
  int v = top * (256 - ty.frac) + bottom * ty.frac;
  return static_cast<unsigned char>((v + 32768) >> 16);
}

bool WriteBmp(const unsigned char* block) {
  std::vector<uint8_t> bgr(kWidth * kHeight * 3);
  for (int y = 0; y < kHeight; ++y) {
    const Tap ty = SourceTap(y, kHeight);
    for (int x = 0; x < kWidth; ++x) {
      const unsigned char g = Sample(block, SourceTap(x, kWidth), ty);
      uint8_t* px = &bgr[(y * kWidth + x) * 3];
      px[0] = px[1] = px[2] = g;
    }
  }
  return tw::bmp::Save(kFileName, tw::bmp::Colour24(kWidth, kHeight, bgr.data()));
}

}  // namespace

// The scratch area is too small for the 24-bit picture with its padding, so the picture is made
// apart; only the scratch area's presence is checked, as callers rely on a failure for a null one.
TW_EXPORT int TW_STDCALL unpack(unsigned char* wlt, unsigned char* scratch, int flag) {
  (void)flag;
  if (!wlt || !scratch) return 0;
  // A fault for tests: a decoder that claims success and writes nothing.
  const char* fault = std::getenv("TW_DLL_FILE_FAULT");
  if (fault != nullptr && std::strcmp(fault, "silent") == 0) return 1;
  return WriteBmp(wlt) ? 1 : 0;
}
