// Text block into the GBK record, and the photo block through the decoder library beside the
// test program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/folders.h"
#include "sim/reader.h"
#include "tw/testing.h"
#include "vnsdtapi.h"

namespace fs = std::filesystem;
using sim::Bytes;

namespace {

Bytes Block(const std::u16string& name = u"林小满", const std::u16string& sex = u"1",
            const std::u16string& nation = u"01", const std::u16string& idNumber = u"110108199003150028") {
  return sim::MakeTextBlock(name, sex, nation, u"19900315", u"北京市海淀区示例路18号", idNumber,
                            u"北京市公安局海淀分局", u"20200101", u"20300101");
}

struct Record {
  unsigned char bytes[300];
  Record() { std::memset(bytes, 0xCC, sizeof bytes); }
  std::string Slot(size_t offset, size_t size) const {
    return std::string(reinterpret_cast<const char*>(bytes + offset),
                       strnlen(reinterpret_cast<const char*>(bytes + offset), size));
  }
};

int Decode(const Bytes& block, Record* r, unsigned length = 256) {
  return DecodeWZData(block.data(), length, r->bytes);
}

TEST(DecodeWZData, SampleCardInGbk) {
  Record r;
  ASSERT_EQ(Decode(Block(), &r), 1);
  EXPECT_EQ(r.Slot(0, 32), "\xC1\xD6\xD0\xA1\xC2\xFA");  // 林小满
  EXPECT_EQ(r.Slot(32, 8), "\xC4\xD0");                  // 男
  EXPECT_EQ(r.Slot(40, 20), "\xBA\xBA");                 // 汉
  EXPECT_EQ(r.Slot(60, 12), "19900315");
  EXPECT_EQ(r.Slot(144, 20), "110108199003150028");
  EXPECT_EQ(r.Slot(196, 12), "20200101");
  EXPECT_EQ(r.Slot(208, 12), "20300101");
  EXPECT_EQ(r.Slot(292, 4), "1");
  EXPECT_EQ(r.Slot(296, 4), "1");
  // Every slot is NUL-padded to its end.
  EXPECT_EQ(r.bytes[6], 0);
  EXPECT_EQ(r.bytes[31], 0);
  EXPECT_EQ(r.bytes[71], 0);
}

TEST(DecodeWZData, LengthLimits) {
  Bytes b = Block();
  Record r;
  EXPECT_EQ(Decode(b, &r, 220), 1);
  EXPECT_EQ(r.Slot(208, 12), "20300101");
  Record short219;
  EXPECT_EQ(Decode(b, &short219, 219), -1);
  for (unsigned char x : short219.bytes) ASSERT_EQ(x, 0);  // cleared even on failure
  Bytes big = b;
  big.resize(3000, 0x41);
  Record r2;
  EXPECT_EQ(Decode(big, &r2, 3000), 1);
  EXPECT_EQ(std::memcmp(r.bytes, r2.bytes, 300), 0);
  EXPECT_EQ(DecodeWZData(nullptr, 256, r.bytes), -1);
  EXPECT_EQ(DecodeWZData(b.data(), 256, nullptr), -1);
}

TEST(DecodeWZData, BlanksAreRemoved) {
  Record r;
  ASSERT_EQ(Decode(Block(u"A B"), &r), 1);
  EXPECT_EQ(r.Slot(0, 32), "A B");
  Record empty;
  ASSERT_EQ(Decode(Block(u"               "), &empty), 1);
  EXPECT_EQ(empty.Slot(0, 32), "");
}

TEST(DecodeWZData, SexCodes) {
  const std::pair<std::u16string, std::string> cases[] = {{u"1", "\xC4\xD0"},
                                                          {u"2", "\xC5\xAE"},
                                                          {u"0", "\xCE\xB4\xD6\xAA"},
                                                          {u"9", "\xCE\xB4\xCB\xB5\xC3\xF7"},
                                                          {u"3", ""}};
  for (const auto& c : cases) {
    Record r;
    ASSERT_EQ(Decode(Block(u"X", c.first), &r), 1);
    EXPECT_EQ(r.Slot(32, 8), c.second);
    EXPECT_EQ(r.Slot(292, 4), std::string(c.first.begin(), c.first.end()));
  }
  Record blank;
  ASSERT_EQ(Decode(Block(u"X", u" "), &blank), 1);
  EXPECT_EQ(blank.Slot(32, 8), "\xCE\xB4\xD6\xAA");  // no digits read as 0
  EXPECT_EQ(blank.Slot(292, 4), "0");
}

TEST(DecodeWZData, NationCodes) {
  const std::string other = "\xC6\xE4\xCB\xFB";  // 其他
  const struct {
    std::u16string field;
    std::string name;
    std::string code;
  } cases[] = {
      {u"01", "\xBA\xBA", "1"},
      {u"02", "\xC3\xC9\xB9\xC5", "2"},                   // 蒙古
      {u"56", "\xBB\xF9\xC5\xB5", "56"},                  // 基诺
      {u"29", "\xBF\xC2\xB6\xFB\xBF\xCB\xD7\xCE", "29"},  // 柯尔克孜
      {u"81", "\xB4\xA9\xC7\xE0\xC8\xCB", "81"},          // 穿青人
      {u"98", "\xCD\xE2\xB9\xFA\xD1\xAA\xCD\xB3\xD6\xD0\xB9\xFA\xBC\xAE\xC8\xCB\xCA\xBF", "98"},
      {u"57", other, "57"},
      {u"00", other, "0"},
      {u"80", other, "80"},
      {u"-5", other, "-5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Record r;
    ASSERT_EQ(Decode(Block(u"X", u"1", c.field), &r), 1);
    EXPECT_EQ(r.Slot(40, 20), c.name);
    EXPECT_EQ(r.Slot(296, 4), c.code);
  }
}

TEST(DecodeWZData, ReservedSlotStaysZero) {
  Bytes b = Block();
  for (size_t i = 220; i < 256; ++i) b[i] = 0x5A;
  Record r;
  ASSERT_EQ(Decode(b, &r), 1);
  for (size_t i = 220; i < 292; ++i) ASSERT_EQ(r.bytes[i], 0) << i;
}

TEST(DecodeWZData, TooLongFieldIsCutAtACharacterBoundary) {
  // 18 Chinese characters where the ID number belongs: 36 GBK bytes for a 20-byte slot.
  Record r;
  ASSERT_EQ(Decode(Block(u"X", u"1", u"01", u"一二三四五六七八九十一二三四五六七八"), &r), 1);
  EXPECT_EQ(r.Slot(144, 20), "\xD2\xBB\xB6\xFE\xC8\xFD\xCB\xC4\xCE\xE5\xC1\xF9\xC6\xDF\xB0\xCB\xBE\xC5");
  EXPECT_EQ(r.bytes[144 + 18], 0);
  EXPECT_EQ(r.bytes[163], 0);
  // A character without a GBK form becomes '?'.
  Record q;
  ASSERT_EQ(Decode(Block(u"A\U0001F600B"), &q), 1);
  EXPECT_EQ(q.Slot(0, 32), "A?B");
}

class DecodeWlt : public ::testing::Test {
 protected:
  static void SetFault(const char* fault) {
#if defined(_WIN32)
    _putenv_s("TW_DLL_FILE_FAULT", fault);
#else
    setenv("TW_DLL_FILE_FAULT", fault, 1);
#endif
  }
  void SetUp() override {
    wlt_.resize(1024);
    for (size_t i = 0; i < wlt_.size(); ++i) wlt_[i] = static_cast<uint8_t>(i * 7);
  }
  void TearDown() override { ExpectNothingLeft(); }
  void ExpectNothingLeft() {
    EXPECT_FALSE(fs::exists(fs::u8path(platform::ProgramDirectory()) / "zp.bmp"));
    // Only ours: other programs may be decoding beside this test.
    const std::string mine = "_" + std::to_string(platform::CurrentProcessId()) + ".";
    for (const auto& e : fs::directory_iterator(fs::temp_directory_path())) {
      const std::string name = e.path().filename().string();
      EXPECT_FALSE(name.rfind("~photo", 0) == 0 && name.find(mine) != std::string::npos) << e.path();
    }
  }
  Bytes wlt_;
  tw::testing::WorkDirectory work_{"tw_decode_wlt", false};
  const fs::path& dir_ = work_.path();
};

// Another program decoding in the same second (the time alone names the temporary files)
// keeps its files: we neither delete nor read them.
TEST_F(DecodeWlt, TemporaryFilesOfOtherProgramsAreLeftAlone) {
  std::vector<fs::path> theirs;
  const std::time_t now = std::time(nullptr);
  for (std::time_t second = now; second < now + 3; ++second) {
    char stem[64];
    const std::tm* t = std::localtime(&second);
    std::strftime(stem, sizeof stem, "~photo%Y%m%d_%H%M%S", t);
    for (const char* ext : {".bmp", ".wlt"}) {
      theirs.push_back(fs::temp_directory_path() / (std::string(stem) + ext));
      std::ofstream(theirs.back(), std::ios::binary) << "theirs";
    }
  }
  std::vector<unsigned char> buffer(40000);
  int length = static_cast<int>(buffer.size());
  EXPECT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, buffer.data(), &length), 1);
  EXPECT_EQ(length, 38862);
  for (const auto& p : theirs) {
    EXPECT_EQ(tw::testing::ReadFile(p), "theirs") << p;
    fs::remove(p);
  }
}

TEST_F(DecodeWlt, CapacityBoundary) {
  std::vector<unsigned char> buffer(40000, 0xEE);
  int length = 38861;
  EXPECT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, buffer.data(), &length), -5);
  EXPECT_EQ(length, 38861);
  for (unsigned char x : buffer) ASSERT_EQ(x, 0xEE);
  length = 38862;
  ASSERT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, buffer.data(), &length), 1);
  EXPECT_EQ(length, 38862);
  EXPECT_EQ(buffer[0], 'B');
  EXPECT_EQ(buffer[1], 'M');
  EXPECT_EQ(buffer[38862], 0xEE);
}

TEST_F(DecodeWlt, BufferOnlyOrPathOnly) {
  std::vector<unsigned char> buffer(38862);
  int length = static_cast<int>(buffer.size());
  ASSERT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, buffer.data(), &length), 1);
  EXPECT_TRUE(fs::is_empty(dir_));
  const fs::path out = dir_ / "photo.bmp";
  int untouched = 12345;
  ASSERT_EQ(DecodeWltData(wlt_.data(), 1, out.string().c_str(), nullptr, &untouched), 1);
  EXPECT_EQ(untouched, 12345);
  ASSERT_EQ(fs::file_size(out), 38862u);
  std::ifstream in(out, std::ios::binary);
  std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(file, buffer);
}

TEST_F(DecodeWlt, Base64Type) {
  std::vector<unsigned char> text(60000, 0xEE);
  int length = 51815;
  EXPECT_EQ(DecodeWltData(wlt_.data(), 2, nullptr, text.data(), &length), -8);
  length = static_cast<int>(text.size());
  ASSERT_EQ(DecodeWltData(wlt_.data(), 2, nullptr, text.data(), &length), 1);
  EXPECT_EQ(length, 51816);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text.data()), 2), "Qk");  // "BM"
  EXPECT_EQ(text[51816], 0);
}

TEST_F(DecodeWlt, FailuresAndOtherTypes) {
  std::vector<unsigned char> buffer(38862);
  int length = 38862;
  EXPECT_EQ(DecodeWltData(nullptr, 1, nullptr, buffer.data(), &length), -2);
  EXPECT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, buffer.data(), nullptr), -2);
  EXPECT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, nullptr, &length), -2);
  EXPECT_EQ(DecodeWltData(wlt_.data(), 3, nullptr, buffer.data(), &length), -10);
  const fs::path nowhere = dir_ / "missing" / "photo.bmp";
  length = 38862;
  EXPECT_EQ(DecodeWltData(wlt_.data(), 1, nowhere.string().c_str(), buffer.data(), &length), -6);
  EXPECT_EQ(length, 38862);  // the buffer was filled before the file failed
}

// A decoder that claims success without writing its picture must not hand out the picture an
// earlier call left behind.
TEST_F(DecodeWlt, AStalePictureIsNeverDelivered) {
  const fs::path stale = fs::u8path(platform::ProgramDirectory()) / "zp.bmp";
  std::vector<unsigned char> buffer(38862);
  int length = 38862;
  ASSERT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, buffer.data(), &length), 1);
  std::ofstream(stale, std::ios::binary).write(reinterpret_cast<const char*>(buffer.data()), 38862);
  SetFault("silent");
  EXPECT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, buffer.data(), &length), -11);
  SetFault("");
}

TEST_F(DecodeWlt, CurrentDirectoryIsRestored) {
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  std::vector<unsigned char> buffer(38862);
  int length = 38862;
  EXPECT_EQ(DecodeWltData(wlt_.data(), 1, nullptr, buffer.data(), &length), 1);
  EXPECT_EQ(fs::current_path(), dir_);
  fs::current_path(before);
}

}  // namespace
