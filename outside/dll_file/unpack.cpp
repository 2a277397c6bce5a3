// Stand-in for the outside photo decoder. Our block format: 32 x 32 grey pixels, row-major,
// top row first; the decoder writes them scaled to 102 x 126 as a 24-bit "zp.bmp".
#include <cstdio>

#include "platform/export.h"

namespace {

constexpr int kBlockSide = 32;
constexpr int kWidth = 102;
constexpr int kHeight = 126;
constexpr int kRowBytes = (kWidth * 3 + 3) & ~3;  // BMP rows are padded to 4 bytes
constexpr int kHeaderBytes = 54;
constexpr int kImageBytes = kRowBytes * kHeight;
constexpr int kFileBytes = kHeaderBytes + kImageBytes;
constexpr const char* kFileName = "zp.bmp";

void Put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void Put32(unsigned char* p, unsigned long v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void MakeHeader(unsigned char* h) {
  for (int i = 0; i < kHeaderBytes; ++i) h[i] = 0;
  h[0] = 'B';
  h[1] = 'M';
  Put32(h + 2, kFileBytes);
  Put32(h + 10, kHeaderBytes);
  Put32(h + 14, 40);
  Put32(h + 18, kWidth);
  Put32(h + 22, kHeight);  // positive: rows stored bottom-up
  Put16(h + 26, 1);
  Put16(h + 28, 24);
  Put32(h + 34, kImageBytes);
  Put32(h + 38, 3780);  // 96 dpi
  Put32(h + 42, 3780);
}

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
  std::FILE* f = std::fopen(kFileName, "wb");
  if (!f) return false;
  unsigned char header[kHeaderBytes];
  MakeHeader(header);
  bool ok = std::fwrite(header, 1, sizeof header, f) == sizeof header;
  unsigned char row[kRowBytes];
  for (int y = kHeight - 1; ok && y >= 0; --y) {
    Tap ty = SourceTap(y, kHeight);
    for (int i = 0; i < kRowBytes; ++i) row[i] = 0;
    for (int x = 0; x < kWidth; ++x) {
      unsigned char g = Sample(block, SourceTap(x, kWidth), ty);
      row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = g;
    }
    ok = std::fwrite(row, 1, sizeof row, f) == sizeof row;
  }
  if (std::fclose(f) != 0) ok = false;
  if (!ok) std::remove(kFileName);  // never leave a truncated picture behind
  return ok;
}

}  // namespace

// The scratch area is too small for the 24-bit pixels, so rows are written as they are made;
// only its presence is checked, as callers rely on a failure for a null one.
TW_EXPORT int TW_STDCALL unpack(unsigned char* wlt, unsigned char* scratch, int flag) {
  (void)flag;
  if (!wlt || !scratch) return 0;
  return WriteBmp(wlt) ? 1 : 0;
}
