// The ID-card routes over real HTTP against the simulated readers of both families.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "host/host.h"
#include "http/http.h"
#include "idcard/devtool_binding.h"
#include "idcard/idcard_routes.h"
#include "idcard/photo_file.h"
#include "idcard/reader_family.h"
#include "platform/codepage.h"
#include "platform/dynlib.h"
#include "platform/hid_virtual.h"
#include "platform/sim.h"
#include "raw_client.h"
#include "route_server.h"
#include "sim/reader.h"
#include "tw/log.h"
#include "tw/testing.h"
#include "vnsdtapi.h"

#include "sdtapi.h"

namespace fs = std::filesystem;

namespace {

const std::string kFields =
    "\"name\":\"林小满\",\"sex\":\"女\",\"address\":\"北京市海淀区示例路18号院3号楼2单元501室\",\"birthYear\":\"1990\","
    "\"birthMon\":\"03\",\"birthDay\":\"15\",\"idNo\":\"110108199003150028\",\"police\":\"北京市公安局海淀分局\","
    "\"validateBegin\":\"2020.01.01\",\"validateEnd\":\"2030.01.01\"";
const std::string kCardNo = "12AB34CD56EF7890";

using tw::testing::ReadFile;

std::string B64(const std::string& s) {
  return Base64Encode(reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
}

class IdCardRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "Log" / "Photo");
    SimJL_Control("reset", 0);
    SimJL_Control("present", 0);
    ResetReadersForTesting();
    g_SDT_OpenPort = nullptr;
    g_SDT_ClosePort = nullptr;
    g_SDT_WriteAppMsg = nullptr;

    ASSERT_TRUE(server_.emplace().Started());
  }
  void TearDown() override {
    server_.reset();
    SimJL_Control("reset", 0);
    if (devtool_) platform::FreeDynLib(devtool_);
  }

  // The body of the answer, without the trailing LF.
  std::string Get(const std::string& target) {
    const std::string body = test::Body(test::Get(server_->Port(), target));
    return body.substr(0, body.size() - 1);
  }

  void BindDevtool() {
    devtool_ = platform::LoadDynLib("devtool.dll");
    ASSERT_NE(devtool_, nullptr) << platform::DynLibError();
    g_SDT_OpenPort = reinterpret_cast<SdtOpenPortFn>(platform::DynSymbol(devtool_, "SDT_OpenPort"));
    g_SDT_ClosePort = reinterpret_cast<SdtClosePortFn>(platform::DynSymbol(devtool_, "SDT_ClosePort"));
    g_SDT_WriteAppMsg = reinterpret_cast<SdtWriteAppMsgFn>(platform::DynSymbol(devtool_, "SDT_WriteAppMsg"));
  }

  // The photo file of the sample card, as this system names it.
  fs::path SamplePhoto() { return dir_ / fs::u8path(PhotoPath(u"林小满")); }
  bool PortClosed() { return HID_ClosePort(1001) == 0; }

  tw::testing::WorkDirectory work_{"tw_idcard"};
  const fs::path& dir_ = work_.path();
  sim::ScopedReaders readers_;
  const std::shared_ptr<sim::HidReader>& reader_ = readers_.hid;
  std::optional<test::RouteServer> server_;
  platform::DynLib devtool_ = nullptr;
};

TEST_F(IdCardRoutes, TextAnswerForReadTypeZeroAndAbsent) {
  const std::string expected = "{" + kFields + ",\"return\":\"144\"}";
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0"), expected);
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001"), expected);
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?port=1001&readtype=abc"), expected);
  EXPECT_TRUE(PortClosed());
}

TEST_F(IdCardRoutes, PhotoAndCombinedAnswers) {
  const std::string photo1 = Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=1");
  const std::string bmp = ReadFile(SamplePhoto());
  ASSERT_EQ(bmp.size(), 38862u);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(photo1, "{\"result\":\"data:image/bmp;base64," + B64(bmp) + "\"}");
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=2"),
            "{\"photo\":\"data:image/bmp;base64," + B64(bmp) + "\",\"data\":{" + kFields +
                "},\"return\":\"144\",\"cardNo\":\"" + kCardNo + "\"}");
  const std::string fp(reader_->firmware.card.fingerprint.begin(), reader_->firmware.card.fingerprint.end());
  const std::string withFp = "{\"photo\":\"data:image/bmp;base64," + B64(bmp) + "\",\"data\":{" + kFields +
                             "},\"return\":\"144\",\"fp\":\"" + B64(fp) + "\",\"cardNo\":\"" + kCardNo + "\"}";
  for (const char* type : {"3", "7", "-1"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(Get(std::string("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=") + type), withFp);
  }
  EXPECT_TRUE(PortClosed());
}

TEST_F(IdCardRoutes, EmptyFingerprintAndTheSamePersonTwice) {
  reader_->firmware.card.fingerprint.clear();
  const std::string a = Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=3");
  EXPECT_NE(a.find(",\"fp\":\"\",\"cardNo\":\"" + kCardNo + "\"}"), std::string::npos) << a.substr(a.size() - 80);
  Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=1");
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir_ / "Log" / "Photo")) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1u);
}

TEST_F(IdCardRoutes, OwnFamilyErrorAnswersAlwaysClosePort) {
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1002&ReadType=0"), "{\"return\":0, \"info\":\"打开读卡设备失败\"}");
  const struct {
    uint16_t command;
    int sw3;
    const char* type;
    std::string answer;
  } cases[] = {
      {0x2001, 0x80, "0", "{\"return\":128, \"info\":\"没有发现卡或卡停留时间太短\"}"},
      {0x2002, 0x81, "0", "{\"return\":129, \"info\":\"选卡失败\"}"},
      {0x8005, 0x82, "0", "{\"return\":130, \"info\":\"读取物理卡号失败！\"}"},
      {0x3001, 0x41, "2", "{\"return\":65, \"info\":\"读卡失败\"}"},
      {0x3010, 0x42, "3", "{\"return\":66, \"info\":\"带指纹读卡失败\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    reader_->firmware.sw3For.clear();
    reader_->firmware.sw3For[c.command] = c.sw3;
    EXPECT_EQ(Get(std::string("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=") + c.type), c.answer);
    EXPECT_TRUE(PortClosed());
  }
}

TEST_F(IdCardRoutes, DecodingFailures) {
  // A text block shorter than 220 bytes.
  sim::Bytes data = {0x00, 0xC8, 0x04, 0x00};
  data.resize(4 + 200 + 1024, 0x20);
  reader_->firmware.scriptedReplies = {sim::MakeReply(1, 0, 0x9F, {0, 0, 0, 0}),
                                       sim::MakeReply(2, 0, 0x90, sim::Bytes(8)), sim::MakeReply(5, 0, 0x90, {0x12}),
                                       sim::MakeReply(1, 0, 0x90, data)};
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0"), "{\"return\":-1, \"info\":\"照片处理失败\"}");
  // No photo folder: the decoder cannot write the file.
  fs::remove_all(dir_ / "Log" / "Photo");
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=1"), "{\"return\":-6, \"info\":\"照片处理失败\"}");
  EXPECT_TRUE(PortClosed());
}

TEST_F(IdCardRoutes, ForeignCardAndValidityForms) {
  sim::Bytes block(256, 0);
  auto put = [&block](size_t offset, const std::u16string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
      block[offset + 2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
      block[offset + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
  };
  put(0, u"SMITH JANE SAMPLE   ");
  put(120, u"2");
  put(122, u"USA110019900101");
  put(188, u"20240601");
  put(204, u"20340531");
  put(220, u"19900101");
  put(240, u"1500");
  put(248, u"I");
  reader_->firmware.card.text = block;
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0"),
            "{\"name\":\"SMITH JANE SAMPLE\",\"sex\":\"女/F\",\"address\":\"\",\"birthYear\":\"1990\","
            "\"birthMon\":\"01\",\"birthDay\":\"01\",\"idNo\":\"USA110019900101\",\"police\":\"1500\","
            "\"validateBegin\":\"2024.06.01\",\"validateEnd\":\"2034.05.31\",\"return\":\"144\"}");

  reader_->firmware.card.text =
      sim::MakeTextBlock(u"王\"五\\", u"3", u"01", u"19800101", u"地址", u"1", u"机关", u"20100101", u"长期");
  const std::string a = Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0");
  EXPECT_NE(a.find("\"name\":\"王\\\"五\\\\\""), std::string::npos) << a;  // escaped, still JSON
  EXPECT_NE(a.find("\"sex\":\"3\""), std::string::npos) << a;
  EXPECT_NE(a.find("\"validateEnd\":\"长期\""), std::string::npos) << a;
}

TEST_F(IdCardRoutes, OtherRoutesOfTheOwnFamily) {
  EXPECT_EQ(Get("/VnSdt_api/GetCardNo?Port=1001"), "{\"cardNo\":\"" + kCardNo + "\",\"return\":144}");
  EXPECT_EQ(Get("/VnSdt_api/GetSAMID?Port=1001"), "{ \"szSAMID\": \"5-1-20200234-1234567-123456\",\"return\":144}");
  EXPECT_EQ(Get("/VnSdt_api/ClosePort?Port=1001"), "{\"return\":0}");
  EXPECT_EQ(Get("/VnSdt_api/GetCardNo?Port=1002"), "{\"cardNo\":\"\",\"return\":1}");
  reader_->firmware.cardPresent = false;
  EXPECT_EQ(Get("/VnSdt_api/GetCardNo?Port=1001"), "{\"cardNo\":\"\",\"return\":128}");
  reader_->firmware.sw3For[0x11FF] = 0x60;
  EXPECT_EQ(Get("/VnSdt_api/GetSAMID?Port=1001"), "{ \"szSAMID\": \"\",\"return\":96}");
}

TEST_F(IdCardRoutes, OpenPortChoosesTheFamily) {
  SimJL_Control("present", 1);
  EXPECT_EQ(Get("/VnSdt_api/OpenPort?Port=1001"), "{\"return\":0}");
  EXPECT_EQ(ChosenFamily(), Readers::Own);
  platform::hid::UnregisterAllVirtual();
  EXPECT_EQ(Get("/VnSdt_api/OpenPort?Port=1001"), "{\"return\":0}");
  EXPECT_EQ(ChosenFamily(), Readers::Sdtapi);
  SimJL_Control("present", 0);
  EXPECT_EQ(Get("/VnSdt_api/OpenPort"), "{\"return\":0}");
  EXPECT_EQ(ChosenFamily(), Readers::Sdtapi);  // no reader of either family: the second one is asked
}

const std::string kJlFields =
    "\"name\":\"WANG LEI\",\"sex\":\"M\",\"address\":\"12 SAMPLE ROAD, HAIDIAN, BEIJING\",\"birthYear\":\"1985\","
    "\"birthMon\":\"07\",\"birthDay\":\"21\",\"idNo\":\"110108198507210019\",\"police\":\"HAIDIAN BRANCH\","
    "\"validateBegin\":\"2021.03.15\",\"validateEnd\":\"2041.03.15\"";

class JlRoutes : public IdCardRoutes {
 protected:
  void SetUp() override {
    IdCardRoutes::SetUp();
    platform::hid::UnregisterAllVirtual();
    SimJL_Control("present", 1);
    EXPECT_EQ(Get("/VnSdt_api/OpenPort?Port=1001"), "{\"return\":0}");
    EXPECT_EQ(ChosenFamily(), Readers::Sdtapi);
  }
};

TEST_F(JlRoutes, ReadAnswers) {
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0"), "{" + kJlFields + ",\"return\":\"144\"}");
  const std::string one = Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=1");
  const std::string bmp = ReadFile(dir_ / "photo.bmp");
  ASSERT_EQ(bmp.size(), 38862u);
  EXPECT_EQ(one, "{\"result\":\"data:image/bmp;base64," + B64(bmp) + "\"}");
  const std::string three = Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=3");
  EXPECT_EQ(three.rfind("{\"photo\":\"data:image/bmp;base64," + B64(bmp) + "\",\"data\":{" + kJlFields +
                            "},\"return\":\"144\",\"fp\":\"",
                        0),
            0u);
  const std::string tail = "\",\"cardNo\":\"3141592653589793\"}";
  EXPECT_EQ(three.substr(three.size() - tail.size()), tail);
  // Without a fingerprint device the fp member is empty.
  SimJL_Control("fingerprint", 0);
  const std::string plain = Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=3");
  EXPECT_NE(plain.find(",\"fp\":\"\",\"cardNo\""), std::string::npos);
  EXPECT_GE(SimJL_Calls("CloseComm"), 4);
}

TEST_F(JlRoutes, ErrorAnswers) {
  SimJL_Control("initComm", -5);
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0"), "{\"return\":-5, \"info\":\"打开读卡器失败\"}");
  SimJL_Control("initComm", 0x7FFFFFFF);
  const int closes = SimJL_Calls("CloseComm");
  SimJL_Control("card", 0);
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0"),
            "{\"return\":0, \"info\":\"没有发现卡或卡停留时间太短\"}");
  EXPECT_EQ(SimJL_Calls("CloseComm"), closes + 1);
  SimJL_Control("card", 1);
  SimJL_Control("read", -3);
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0"), "{\"return\":-3, \"info\":\"二代证读卡异常\"}");
  SimJL_Control("read", 0x7FFFFFFF);
  SimJL_Control("photo", 0);
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=2"), "{\"return\":0, \"info\":\"照片打开失败\"}");
}

// The library writes photo.bmp during each read. One a read left behind is never served for the
// next holder, and a file too large to be a photo is refused.
TEST_F(JlRoutes, ThePhotoFileIsTheReadsOwnAndBounded) {
  ASSERT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=1").rfind("{\"result\":", 0), 0u);
  ASSERT_TRUE(fs::exists(dir_ / "photo.bmp"));
  SimJL_Control("photo", 0);
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=1"), "{\"return\":0, \"info\":\"照片打开失败\"}");
  SimJL_Control("photo", 1);
  SimJL_Control("photoBytes", 600 * 1024);
  EXPECT_EQ(Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=2"), "{\"return\":0, \"info\":\"照片打开失败\"}");
}

// With logging at ERROR, as the service runs: the calls that are only logged still happen, and
// at DEBUG every record of the read names its own routine.
TEST_F(JlRoutes, CallsDoNotDependOnTheLogLevelAndRecordsNameTheirRoutine) {
  SimJL_Control("authenticate", 0);
  Get("/VnSdt_api/GetSAMID?Port=1001");
  EXPECT_EQ(SimJL_Calls("SDT_StartFindIDCard"), 1);
  EXPECT_EQ(SimJL_Calls("SDT_SelectIDCard"), 1);
  ASSERT_TRUE(tw::log::Init((dir_ / "Log" / "routes.txt").string(), tw::log::Severity::Debug));
  Get("/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0");
  tw::log::Shutdown();
  const std::string log = ReadFile(dir_ / "Log" / "routes.txt");
  EXPECT_NE(log.find("[handle_JL_HID_ReadBaseMsg@"), std::string::npos) << log;
  EXPECT_EQ(log.find("operator()"), std::string::npos) << log;
  size_t exits = 0;
  for (size_t at = log.find("Exit!"); at != std::string::npos; at = log.find("Exit!", at + 1)) ++exits;
  EXPECT_EQ(exits, 2u) << log;  // the route's and the family's read
}

TEST_F(JlRoutes, FailingCloseAfterTheAnswerSendsNoSecondAnswer) {
  SimJL_Control("closeComm", 0);
  test::RawClient c(server_->Port());
  c.Send("GET /VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0 HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(c.ReadAnswer().find("\"return\":\"144\"}"), std::string::npos);
  c.Send("GET /test HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string next = c.ReadAnswer();
  EXPECT_EQ(next.substr(next.find("\n\n") + 2), "{\"return\":0}\n");
}

TEST_F(JlRoutes, CardNumberSamIdAndClose) {
  EXPECT_EQ(Get("/VnSdt_api/GetCardNo?Port=1001"), "{\"cardNo\":\"3141592653589793\",\"return\":144}");
  SimJL_Control("authenticate", 0);
  EXPECT_EQ(Get("/VnSdt_api/GetCardNo?Port=1001"), "{\"cardNo\":\"\",\"return\":-1}");  // no devtool
  BindDevtool();
  EXPECT_EQ(Get("/VnSdt_api/GetCardNo?Port=1001"), "{\"cardNo\":\"3141592653589793\",\"return\":144}");
  EXPECT_EQ(Get("/VnSdt_api/GetSAMID?Port=1001"), "{ \"szSAMID\": \"5-1-20200234-1234567-654321\",\"return\":144}");
  EXPECT_EQ(Get("/VnSdt_api/ClosePort?Port=1001"), "{\"return\":144}");
}

// The path fits the 100-byte buffer of a Windows set to GBK, while the file itself carries the
// holder's name as Unicode (the test above finds the sample card's photo by its Chinese name
// whatever the code page).
TEST(PhotoPath, BoundedAndSafe) {
  std::u16string longName(60, u'名');
  const std::string p = PhotoPath(longName);
  EXPECT_LE(platform::ConvertText(p, platform::CodePage::Utf8, platform::CodePage::Gbk).size(), 99u);
  EXPECT_GE(platform::ConvertText(p, platform::CodePage::Utf8, platform::CodePage::Gbk).size(), 98u);
  EXPECT_EQ(p.rfind("Log/Photo/名名", 0), 0u);
  EXPECT_EQ(p.substr(p.size() - 4), ".bmp");
  const std::string evil = PhotoPath(u"../..\\x:y*z");
  EXPECT_EQ(evil.find('/', 10), std::string::npos) << evil;
  EXPECT_EQ(evil.find('\\'), std::string::npos) << evil;
  EXPECT_EQ(evil.find(':'), std::string::npos) << evil;
  EXPECT_EQ(PhotoPath(u""), "Log/Photo/_.bmp");
  EXPECT_EQ(PhotoPath(u"ABC"), "Log/Photo/ABC.bmp");
}

}  // namespace
