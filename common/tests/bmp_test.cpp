// The BMP writer against the two layouts the system relies on: the 102 x 126 colour photo and
// the 152 x 200 grey fingerprint picture.
#include "tw/bmp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

uint32_t U32(const std::vector<uint8_t>& f, size_t at) {
  return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (static_cast<uint32_t>(f[at + 3]) << 24);
}

TEST(Bmp, HeadersRowsAndPadding) {
  struct Case {
    int width, height, bits;
    tw::bmp::Options options;
    size_t fileSize, offset, rowSize;
  };
  const Case cases[] = {
      {102, 126, 24, {}, 38862, 54, 308},
      {152, 200, 8, {19685, 0xFF}, 31478, 1078, 152},
      {3, 2, 8, {19685, 0xFF}, 1078 + 8, 1078, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    const size_t bytes = static_cast<size_t>(c.width) * c.height * (c.bits / 8);
    std::vector<uint8_t> pixels(bytes);
    for (size_t i = 0; i < bytes; ++i) pixels[i] = static_cast<uint8_t>(i * 7 + 1);
    const std::vector<uint8_t> f = c.bits == 8 ? tw::bmp::Grey8(c.width, c.height, pixels.data(), c.options)
                                               : tw::bmp::Colour24(c.width, c.height, pixels.data(), c.options);
    ASSERT_EQ(f.size(), c.fileSize);
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(f[1], 'M');
    EXPECT_EQ(U32(f, 2), c.fileSize);
    EXPECT_EQ(U32(f, 10), c.offset);
    EXPECT_EQ(U32(f, 14), 40u);
    EXPECT_EQ(U32(f, 18), static_cast<uint32_t>(c.width));
    EXPECT_EQ(U32(f, 22), static_cast<uint32_t>(c.height));
    EXPECT_EQ(f[28], c.bits);
    EXPECT_EQ(U32(f, 34), c.rowSize * c.height);
    EXPECT_EQ(U32(f, 38), c.options.pixelsPerMetre);
    if (c.bits == 8) {
      EXPECT_EQ(U32(f, 54 + 4 * 200), 0x00C8C8C8u);  // palette entry 200
    }
    // Picture row 0 is the last row in the file, its padding filled as asked.
    const size_t rowBytes = static_cast<size_t>(c.width) * (c.bits / 8);
    const size_t top = c.offset + (c.height - 1) * c.rowSize;
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + top, f.begin() + top + rowBytes),
              std::vector<uint8_t>(pixels.begin(), pixels.begin() + rowBytes));
    for (size_t i = top + rowBytes; i < top + c.rowSize; ++i) EXPECT_EQ(f[i], c.options.fill);
  }
  EXPECT_TRUE(tw::bmp::Grey8(0, 5, nullptr).empty());
}

}  // namespace
