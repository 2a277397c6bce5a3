// Built into a folder without the decoder library: photos cannot be decoded, text still can.
#include <gtest/gtest.h>

#include <vector>

#include "sim/reader.h"
#include "vnsdtapi.h"

TEST(WithoutDecoder, PhotoGivesMinusOneTextWorks) {
  std::vector<unsigned char> wlt(1024, 0x55), buffer(38862);
  int length = 38862;
  EXPECT_EQ(DecodeWltData(wlt.data(), 1, nullptr, buffer.data(), &length), -1);
  EXPECT_EQ(DecodeWltData(wlt.data(), 2, "x.bmp", nullptr, nullptr), -1);
  EXPECT_EQ(DecodeWltData(nullptr, 1, nullptr, nullptr, nullptr), -1);
  const sim::Bytes text = sim::MakeSampleCard().text;
  unsigned char record[300];
  EXPECT_EQ(DecodeWZData(text.data(), static_cast<unsigned>(text.size()), record), 1);
  EXPECT_EQ(record[32], 0xC5);  // 女
  EXPECT_EQ(record[33], 0xAE);
}
