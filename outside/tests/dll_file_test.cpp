// The decoder stand-in, loaded from beside the test program as the reader library loads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "platform/export.h"
#include "sim/portrait.h"
#include "tw/testing.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Unpack = int(TW_STDCALL*)(unsigned char*, unsigned char*, int);

constexpr int kWidth = 102;
constexpr int kHeight = 126;
constexpr int kRowBytes = 308;
constexpr size_t kFileBytes = 38862;
constexpr size_t kScratchBytes = 38557;

uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

class DllFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = platform::LoadDynLib("DLL_File.dll");
    ASSERT_NE(lib_, nullptr) << platform::DynLibError();
    unpack_ = reinterpret_cast<Unpack>(platform::DynSymbol(lib_, "unpack"));
    ASSERT_NE(unpack_, nullptr) << platform::DynLibError();
  }
  void TearDown() override {
    if (lib_) platform::FreeDynLib(lib_);
  }

  // The caller's side of the contract: a writable copy and a zeroed scratch area.
  int Decode(const Bytes& block) {
    Bytes wlt(block);
    Bytes scratch(kScratchBytes, 0);
    return unpack_(wlt.data(), scratch.data(), 1);
  }

  static Bytes ReadPicture() {
    std::ifstream in("zp.bmp", std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Grey level at (x, y), y counted from the top of the picture; rows are stored bottom-up.
  static int Pixel(const Bytes& bmp, int x, int y) {
    size_t at = 54 + static_cast<size_t>(kHeight - 1 - y) * kRowBytes + 3 * x;
    EXPECT_EQ(bmp[at], bmp[at + 1]) << x << "," << y;
    EXPECT_EQ(bmp[at], bmp[at + 2]) << x << "," << y;
    return bmp[at];
  }

  platform::DynLib lib_ = nullptr;
  Unpack unpack_ = nullptr;
  tw::testing::WorkDirectory work_{"tw_dll_file"};
  const fs::path& dir_ = work_.path();
};

Bytes Uniform(uint8_t v) { return Bytes(1024, v); }

TEST_F(DllFileTest, WritesCompleteBmpInCurrentDirectory) {
  Bytes block(1024);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(Decode(block), 1);
  ASSERT_TRUE(fs::exists(dir_ / "zp.bmp"));
  Bytes bmp = ReadPicture();
  ASSERT_EQ(bmp.size(), kFileBytes);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(Get32(bmp, 2), kFileBytes);
  EXPECT_EQ(Get32(bmp, 6), 0u);
  EXPECT_EQ(Get32(bmp, 10), 54u);
  EXPECT_EQ(Get32(bmp, 14), 40u);
  EXPECT_EQ(Get32(bmp, 18), 102u);
  EXPECT_EQ(Get32(bmp, 22), 126u);
  EXPECT_EQ(Get16(bmp, 26), 1u);
  EXPECT_EQ(Get16(bmp, 28), 24u);
  EXPECT_EQ(Get32(bmp, 30), 0u);
  EXPECT_EQ(Get32(bmp, 34), 38808u);
  EXPECT_EQ(Get32(bmp, 46), 0u);
  EXPECT_EQ(Get32(bmp, 50), 0u);
  for (int row = 0; row < kHeight; ++row) {
    size_t pad = 54 + static_cast<size_t>(row) * kRowBytes + 3 * kWidth;
    EXPECT_EQ(bmp[pad], 0) << row;
    EXPECT_EQ(bmp[pad + 1], 0) << row;
  }
}

TEST_F(DllFileTest, BlackBlockGivesBlackPicture) {
  ASSERT_EQ(Decode(Uniform(0)), 1);
  Bytes bmp = ReadPicture();
  ASSERT_EQ(bmp.size(), kFileBytes);
  EXPECT_TRUE(std::all_of(bmp.begin() + 54, bmp.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(DllFileTest, WhiteBlockGivesWhitePicture) {
  ASSERT_EQ(Decode(Uniform(255)), 1);
  Bytes bmp = ReadPicture();
  ASSERT_EQ(bmp.size(), kFileBytes);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) ASSERT_EQ(Pixel(bmp, x, y), 255) << x << "," << y;
}

TEST_F(DllFileTest, LeftHalfDarkStaysOnTheLeft) {
  Bytes block(1024);
  for (int i = 0; i < 1024; ++i) block[i] = (i % 32) < 16 ? 0 : 255;
  ASSERT_EQ(Decode(block), 1);
  Bytes bmp = ReadPicture();
  ASSERT_EQ(bmp.size(), kFileBytes);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x <= 45; ++x) ASSERT_EQ(Pixel(bmp, x, y), 0) << x << "," << y;
    for (int x = 56; x < kWidth; ++x) ASSERT_EQ(Pixel(bmp, x, y), 255) << x << "," << y;
    for (int x = 1; x < kWidth; ++x) ASSERT_LE(Pixel(bmp, x - 1, y), Pixel(bmp, x, y)) << x << "," << y;
  }
}

TEST_F(DllFileTest, TopRowOfBlockIsTopOfPicture) {
  Bytes block = Uniform(255);
  std::fill(block.begin(), block.begin() + 32, 0);
  ASSERT_EQ(Decode(block), 1);
  Bytes bmp = ReadPicture();
  ASSERT_EQ(bmp.size(), kFileBytes);
  for (int x = 0; x < kWidth; ++x) {
    EXPECT_EQ(Pixel(bmp, x, 0), 0) << x;
    EXPECT_EQ(Pixel(bmp, x, kHeight - 1), 255) << x;
  }
  // The top of the picture is the last row in the file.
  EXPECT_EQ(bmp[kFileBytes - kRowBytes], 0);
  EXPECT_EQ(bmp[54], 255);
}

TEST_F(DllFileTest, CornersFollowTheBlock) {
  Bytes block = Uniform(128);
  block[0] = 10;              // top left
  block[31] = 60;             // top right
  block[31 * 32] = 200;       // bottom left
  block[31 * 32 + 31] = 250;  // bottom right
  ASSERT_EQ(Decode(block), 1);
  Bytes bmp = ReadPicture();
  ASSERT_EQ(bmp.size(), kFileBytes);
  EXPECT_EQ(Pixel(bmp, 0, 0), 10);
  EXPECT_EQ(Pixel(bmp, kWidth - 1, 0), 60);
  EXPECT_EQ(Pixel(bmp, 0, kHeight - 1), 200);
  EXPECT_EQ(Pixel(bmp, kWidth - 1, kHeight - 1), 250);
  EXPECT_EQ(Pixel(bmp, kWidth / 2, kHeight / 2), 128);
}

TEST_F(DllFileTest, ReplacesAnOlderPicture) {
  {
    std::ofstream old("zp.bmp", std::ios::binary);
    old << std::string(50000, 'x');
  }
  ASSERT_EQ(Decode(Uniform(90)), 1);
  Bytes bmp = ReadPicture();
  ASSERT_EQ(bmp.size(), kFileBytes);
  EXPECT_EQ(Pixel(bmp, 40, 40), 90);
}

TEST_F(DllFileTest, NullBlockFailsWithoutFile) {
  Bytes scratch(kScratchBytes, 0);
  EXPECT_NE(unpack_(nullptr, scratch.data(), 1), 1);
  EXPECT_FALSE(fs::exists(dir_ / "zp.bmp"));
}

TEST_F(DllFileTest, NullScratchFailsWithoutFile) {
  Bytes wlt = Uniform(100);
  EXPECT_NE(unpack_(wlt.data(), nullptr, 1), 1);
  EXPECT_FALSE(fs::exists(dir_ / "zp.bmp"));
}

TEST_F(DllFileTest, UnwritablePictureFails) {
  fs::create_directory(dir_ / "zp.bmp");  // a folder where the file should go
  EXPECT_NE(Decode(Uniform(100)), 1);
  EXPECT_TRUE(fs::is_directory(dir_ / "zp.bmp"));
}

TEST_F(DllFileTest, PortraitBlockDecodes) {
  Bytes block = sim::MakePortraitBlock();
  ASSERT_EQ(block.size(), 1024u);
  EXPECT_EQ(block, sim::MakePortraitBlock());
  auto [lo, hi] = std::minmax_element(block.begin(), block.end());
  EXPECT_GT(*hi - *lo, 100);
  // Light background in the top corners, dark clothing at the bottom corners.
  EXPECT_GT(block[0], 180);
  EXPECT_GT(block[31], 180);
  EXPECT_LT(block[31 * 32], 120);
  EXPECT_LT(block[31 * 32 + 31], 120);

  ASSERT_EQ(Decode(block), 1);
  Bytes bmp = ReadPicture();
  ASSERT_EQ(bmp.size(), kFileBytes);
  EXPECT_EQ(Pixel(bmp, 0, 0), block[0]);
  EXPECT_EQ(Pixel(bmp, kWidth - 1, kHeight - 1), block[1023]);
}

}  // namespace
