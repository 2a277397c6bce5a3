#include "tw/gif.h"

#include <gtest/gtest.h>

namespace {

TEST(Gif, SmallestTransparentPicture) {
  // The well-known 43-byte one-pixel GIF: two colours, the only pixel transparent.
  const std::vector<uint8_t> file = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80,
                                     0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04,
                                     0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01,
                                     0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
  const auto a = tw::gif::Decode(file.data(), file.size());
  ASSERT_TRUE(a);
  EXPECT_EQ(a->width, 1);
  ASSERT_EQ(a->frames.size(), 1u);
  EXPECT_EQ(a->frames[0].pixels, std::vector<uint32_t>{0});
  EXPECT_EQ(a->frames[0].delayMs, 100u);  // no delay given
}

TEST(Gif, EncodedAnimationsComeBackPixelForPixel) {
  // Long runs make the LZW table fill and restart; noise keeps the codes short.
  const int w = 97, h = 61;
  const std::vector<uint32_t> palette = {0xFFFFFF, 0x102030, 0xC0C0C0, 0x00A000, 0xFF0000};
  std::vector<tw::gif::IndexedFrame> frames(3);
  uint32_t seed = 7;
  for (size_t f = 0; f < frames.size(); ++f) {
    frames[f].delayMs = 40 + 10 * static_cast<uint32_t>(f);
    for (int i = 0; i < w * h; ++i) {
      seed = seed * 1103515245 + 12345;
      frames[f].indices.push_back(f == 0   ? 1
                                  : f == 1 ? static_cast<uint8_t>((seed >> 16) % 5)
                                           : static_cast<uint8_t>(i / 300 % 5));
    }
  }
  const std::vector<uint8_t> file = tw::gif::Encode(w, h, palette, frames);
  const auto a = tw::gif::Decode(file.data(), file.size());
  ASSERT_TRUE(a);
  ASSERT_EQ(a->frames.size(), 3u);
  for (size_t f = 0; f < frames.size(); ++f) {
    EXPECT_EQ(a->frames[f].delayMs, frames[f].delayMs);
    for (int i = 0; i < w * h; ++i) {
      ASSERT_EQ(a->frames[f].pixels[static_cast<size_t>(i)],
                0xFF000000u | palette[frames[f].indices[static_cast<size_t>(i)]])
          << f << " " << i;
    }
  }
  EXPECT_TRUE(tw::gif::Encode(w, h, palette, {tw::gif::IndexedFrame{{1, 2}, 10}}).empty());
}

TEST(Gif, DamagedFilesStayInBounds) {
  std::vector<tw::gif::IndexedFrame> frames(2);
  for (auto& f : frames) f.indices.assign(16 * 16, 1);
  const std::vector<uint8_t> file = tw::gif::Encode(16, 16, {0, 0xFFFFFF}, frames);
  // A cut file gives the frames that were whole before the cut, never more, never a partial one.
  size_t previous = 0;
  for (size_t cut = 0; cut < file.size(); ++cut) {
    const auto a = tw::gif::Decode(file.data(), cut);
    const size_t n = a ? a->frames.size() : 0;
    EXPECT_GE(n, previous) << cut;
    previous = n;
  }
  EXPECT_EQ(previous, 2u);
  EXPECT_FALSE(tw::gif::Decode(file.data(), file.size() / 3));
  std::vector<uint8_t> garbled = file;
  for (size_t i = 30; i < garbled.size(); i += 7) garbled[i] ^= 0x5A;
  tw::gif::Decode(garbled.data(), garbled.size());  // must not crash (the sanitizers watch)
  std::vector<uint8_t> huge = file;
  huge[6] = huge[7] = huge[8] = huge[9] = 0xFF;
  EXPECT_FALSE(tw::gif::Decode(huge.data(), huge.size(), 1000));
  EXPECT_FALSE(tw::gif::Decode(reinterpret_cast<const uint8_t*>("GIF89"), 5));
}

}  // namespace
