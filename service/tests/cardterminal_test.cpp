// The card-terminal routes over real HTTP: the card-library stand-in's objects above the
// transfer library's, with the simulated terminal on the mass-storage path.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "JRS_40QK_CardDll.h"
#include "cardterminal/fingerprint_picture.h"
#include "host/host.h"
#include "http/http.h"
#include "raw_client.h"
#include "sim/card_terminal.h"
#include "tw/bmp.h"
#include "tw/log.h"
#include "tw/testing.h"

namespace fs = std::filesystem;

namespace {

using tw::testing::ReadFile;

std::string B64(const std::string& s) {
  return Base64Encode(reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
}

std::string FingerprintBmp(const sim::Bytes& pixels) {
  tw::bmp::Options o;
  o.pixelsPerMetre = 19685;
  o.fill = 0xFF;
  const std::vector<uint8_t> bmp = tw::bmp::Grey8(152, 200, pixels.data(), o);
  return std::string(bmp.begin(), bmp.end());
}

std::string PictureAnswer(const std::string& bmp) { return "{\"result\":\"data:image/bmp;base64," + B64(bmp) + "\"}"; }

class CardTerminalRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(work_.path() / "Log");
    SimJrs_Control("reset", 0);
    server_.Init("0");
    RegisterRoutes(server_);
    ASSERT_TRUE(server_.Start());
    polling_.emplace(server_);
  }
  void TearDown() override {
    Get("/Jrs_Api/JrsCardCommClose");
    polling_.reset();
    server_.Close();
    SimJrs_Control("reset", 0);
  }

  std::string Answer(const std::string& target) { return test::Get(server_.BoundPort(), target); }
  // The body of the answer, without the trailing LF.
  std::string Get(const std::string& target) {
    const std::string body = test::Body(Answer(target));
    return body.substr(0, body.size() - 1);
  }
  std::string Post(const std::string& path, const std::string& form) {
    test::RawClient c(server_.BoundPort());
    c.Send("POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
           "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form);
    const std::string body = test::Body(c.ReadAnswer());
    return body.substr(0, body.size() - 1);
  }

  tw::testing::WorkDirectory work_{"tw_cardterminal"};
  sim::ScopedTerminal terminal_;
  sim::TerminalFirmware& firmware_ = *terminal_.firmware;
  Tarnwick server_;
  std::optional<test::PollingThread> polling_;
};

TEST_F(CardTerminalRoutes, PortsArriveAsSixteenBitNumbers) {
  EXPECT_EQ(Get("/Jrs_Api/JrsCardCommOpen"), "{\"return\":0}");
  EXPECT_EQ(firmware_.cardPort, 0);
  EXPECT_EQ(firmware_.devicePort, 0);
  EXPECT_EQ(Get("/Jrs_Api/JrsCardCommOpen?CardPort=70000&DevicePort=65537"), "{\"return\":0}");
  EXPECT_EQ(Get("/Jrs_Api/JrsCardCmdRead?StructType=0&Index=0&Count=1"), "{\"return\":0}");
  const std::string status = Get("/Jrs_Api/JrsCardGetDataStrEx");
  EXPECT_NE(status.find("|cardPort=4464|devicePort=1|"), std::string::npos) << status;
  EXPECT_EQ(Get("/Jrs_Api/JrsCardCommOpen?CardPort=abc&DevicePort=-1"), "{\"return\":0}");
  EXPECT_EQ(firmware_.cardPort, 0);
  EXPECT_EQ(firmware_.devicePort, 65535);
}

TEST_F(CardTerminalRoutes, ResultsArePassedOn) {
  const struct {
    std::string target;
    std::string answer;
  } cases[] = {
      {"/Jrs_Api/JrsCardCommRead?StructType=1&Index=0&Count=1", "{\"return\":-1}"},  // not open yet
      {"/Jrs_Api/JrsCardCommOpen?CardPort=1&DevicePort=2", "{\"return\":0}"},
      {"/Jrs_Api/JrsCardCommRead?StructType=2&Index=1&Count=2", "{\"return\":0}"},
      {"/Jrs_Api/JrsCardCommRead?StructType=9", "{\"return\":-5}"},
      {"/Jrs_Api/JrsCardCommRead?StructType=2&Index=7", "{\"return\":-7}"},
      {"/Jrs_Api/JrsCardDataRead?StructType=2&Index=0&Count=1", "{\"return\":-7}"},
      {"/Jrs_Api/JrsCardCmdRead?StructType=0&Index=0&Count=1", "{\"return\":0}"},
      {"/Jrs_Api/JrsCardCommandEx?Command=2&Data=LESSON+4", "{\"return\":0}"},
      {"/Jrs_Api/JrsCardCommandEx?Command=99", "{\"return\":-8}"},
      {"/Jrs_Api/JrsCardCommandEx?Command=65537&Data=20260101000000", "{\"return\":0}"},  // command 1
      {"/Jrs_Api/JrsCardCommWriteEx?Data=type%3D2%7Cindex%3D3%7Cminutes%3D30", "{\"return\":0}"},
      {"/Jrs_Api/JrsCardCommWriteEx", "{\"return\":-5}"},
      {"/Jrs_Api/JrsCardCommClose", "{\"return\":0}"},
      {"/Jrs_Api/JrsCardCommClose", "{\"return\":-1}"},
  };
  for (const auto& c : cases) EXPECT_EQ(Get(c.target), c.answer) << c.target;
  EXPECT_EQ(firmware_.display, "LESSON 4");
  EXPECT_EQ(firmware_.clock, "20260101000000");
  EXPECT_EQ(firmware_.card.records[sim::kSessionRecord].at(3), (sim::Fields{{"minutes", "30"}}));
  // Forms work as well as query strings; an ampersand inside Data arrives encoded.
  Get("/Jrs_Api/JrsCardCommOpen");
  EXPECT_EQ(Post("/Jrs_Api/JrsCardCommWriteEx", "Data=type%3D1%7Cindex%3D0%7Cschool%3DA%26B"), "{\"return\":0}");
  EXPECT_EQ(firmware_.card.records[sim::kHolderRecord][0][4].second, "A&B");
}

TEST_F(CardTerminalRoutes, DataThatDoesNotFitItsBufferIsRefusedNotCut) {
  Get("/Jrs_Api/JrsCardCommOpen");
  const struct {
    const char* route;
    std::string data;
    bool passed;
  } cases[] = {
      {"/Jrs_Api/JrsCardCommWriteEx", std::string(45055, 'x'), true},  // fills the buffer: the library decides
      {"/Jrs_Api/JrsCardCommWriteEx", std::string(45056, 'x'), false},
      {"/Jrs_Api/JrsCardCommWriteEx", std::string(50000, 'x'), false},
      {"/Jrs_Api/JrsCardCommWriteEx", "type%3D1%7Cindex%3D0%7Cschool%3DA%00B", false},
      {"/Jrs_Api/JrsCardCommandEx", std::string(45056, '1'), false},
      {"/Jrs_Api/JrsCardCommandEx", "Hello%00World", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data.substr(0, 40));
    const size_t before = firmware_.requests.size();
    const std::string answer = Post(c.route, "Command=2&Data=" + c.data);
    EXPECT_EQ(answer, "{\"return\":-5}");
    EXPECT_EQ(firmware_.requests.size() > before, c.passed);
  }
  EXPECT_EQ(firmware_.card.records[sim::kHolderRecord][0][4].second, "NORTH LAKE SAMPLE DRIVING SCHOOL");
}

TEST_F(CardTerminalRoutes, TextsAnswerAsValidUtf8) {
  Get("/Jrs_Api/JrsCardCommOpen");
  // A page's UTF-8 stays; bytes that are not UTF-8 (GBK, a stray byte) become U+FFFD.
  const struct {
    const char* sent;
    const char* answered;
  } cases[] = {
      {"%E5%AD%97%C3%A9", "\xE5\xAD\x97\xC3\xA9"},
      {"a%D7%D6b",
       "a\xEF\xBF\xBD\xEF\xBF\xBD"
       "b"},
      {"%FF%80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    ASSERT_EQ(Post("/Jrs_Api/JrsCardCommWriteEx", std::string("Data=type%3D1%7Cindex%3D0%7Cname%3D") + c.sent),
              "{\"return\":0}");
    Get("/Jrs_Api/JrsCardCommRead?StructType=1&Index=0&Count=1");
    const std::string answer = Get("/Jrs_Api/JrsCardGetDataStrEx");
    EXPECT_NE(answer.find(std::string("|name=") + c.answered + "|"), std::string::npos) << answer;
  }
}

TEST_F(CardTerminalRoutes, DataTextAnswers) {
  EXPECT_EQ(Get("/Jrs_Api/JrsCardGetDataStrEx"), "{\"data\": \"\",\"return\":-1}");  // no data: 0 gives -1
  Get("/Jrs_Api/JrsCardCommOpen");
  Get("/Jrs_Api/JrsCardCommRead?StructType=3&Index=0&Count=2");
  const std::string totals =
      "type=3|index=0|subject=1|required=720|done=720\\u000atype=3|index=1|subject=2|required=960|done=195";
  EXPECT_EQ(Get("/Jrs_Api/JrsCardGetDataStrEx"), "{\"data\": \"" + totals + "\",\"return\":0}");
  for (int forced : {0, 2, -1}) {
    SimJrs_Control("JRS_CARD_GetDataStrEx", forced);
    EXPECT_EQ(Get("/Jrs_Api/JrsCardGetDataStrEx"), "{\"data\": \"" + totals + "\",\"return\":-1}") << forced;
  }
  SimJrs_Control("JRS_CARD_GetDataStrEx", 1);
  EXPECT_EQ(Get("/Jrs_Api/JrsCardGetDataStrEx"), "{\"data\": \"" + totals + "\",\"return\":0}");
  SimJrs_Control("reset", 0);

  // A quote, a backslash and a tab in the library's text stay inside the JSON string.
  EXPECT_EQ(Get("/Jrs_Api/JrsCardCommWriteEx?Data=type%3D1%7Cindex%3D0%7Cname%3DO%22Brien%5C%09"), "{\"return\":0}");
  Get("/Jrs_Api/JrsCardCommRead?StructType=1&Index=0&Count=1");
  const std::string a = Get("/Jrs_Api/JrsCardGetDataStrEx");
  EXPECT_NE(a.find("|name=O\\\"Brien\\\\\\u0009|"), std::string::npos) << a;
}

TEST_F(CardTerminalRoutes, VersionTextIsTheWholeAnswer) {
  const std::string answer = Answer("/Jrs_Api/JrsCardGetDllVer");
  EXPECT_EQ(test::Body(answer), "JRS_40QK_CardDll 1.0.0 (Tarnwick stand-in)\n");
  EXPECT_NE(answer.find("Content-Length: 42\n"), std::string::npos) << answer;
  SimJrs_Control("JRS_CARD_GetDllVer", 0);  // writes nothing
  const std::string empty = Answer("/Jrs_Api/JrsCardGetDllVer");
  EXPECT_NE(empty.find("Content-Length: 0\n"), std::string::npos) << empty;
  EXPECT_EQ(test::Body(empty), "\n");
}

TEST_F(CardTerminalRoutes, FingerprintPictureIsAnsweredAndWritten) {
  Get("/Jrs_Api/JrsCardCommOpen");
  ASSERT_EQ(Get("/Jrs_Api/JrsCardCommRead?StructType=4&Index=1&Count=1"), "{\"return\":0}");
  const std::string bmp = FingerprintBmp(firmware_.card.fingerprints[1]);
  ASSERT_EQ(bmp.size(), 31478u);
  const std::string answer = Answer("/Jrs_Api/JrsCardGetFprImage");
  const std::string body = PictureAnswer(bmp);
  EXPECT_EQ(body.size(), 42007u);
  EXPECT_TRUE(test::Body(answer) == body + "\n");
  EXPECT_NE(answer.find("Content-Length: 42007\n"), std::string::npos);
  EXPECT_TRUE(ReadFile(work_.path() / "Log" / "Fpr.bmp") == bmp);

  // No text (nothing read since the last open): a black picture of the same size replaces it.
  Get("/Jrs_Api/JrsCardCommOpen");
  const std::string black = FingerprintBmp(sim::Bytes(152 * 200, 0));
  EXPECT_TRUE(Get("/Jrs_Api/JrsCardGetFprImage") == PictureAnswer(black));
  EXPECT_TRUE(ReadFile(work_.path() / "Log" / "Fpr.bmp") == black);
}

TEST_F(CardTerminalRoutes, CharactersThatAreNotHexDigitsCountAsZero) {
  Get("/Jrs_Api/JrsCardCommOpen");
  Get("/Jrs_Api/JrsCardCommRead?StructType=1&Index=0&Count=1");  // "type=1|index=0|cardNo=..."
  Get("/Jrs_Api/JrsCardGetFprImage");
  const std::string file = ReadFile(work_.path() / "Log" / "Fpr.bmp");
  ASSERT_EQ(file.size(), 31478u);
  const size_t topRow = 1078 + 199 * 152;
  // ty pe =1 |i nd ex =0 |c ar dN
  const std::string expected = {'\x00', '\x0E', '\x01', '\x00', '\x0D', '\xE0', '\x00', '\x0C', '\xA0', '\xD0'};
  EXPECT_EQ(file.substr(topRow, expected.size()), expected);
  EXPECT_EQ(file.substr(1078, 152), std::string(152, '\0'));  // the bottom row lies past the text
}

TEST_F(CardTerminalRoutes, UnwritablePictureFileIsLoggedAndTheAnswerStands) {
  fs::remove_all(work_.path() / "Log");
  { std::ofstream("Log") << "a file where the folder should be"; }
  ASSERT_TRUE(tw::log::Init((work_.path() / "routes.txt").string(), tw::log::Severity::Error));
  const std::string black = FingerprintBmp(sim::Bytes(152 * 200, 0));
  EXPECT_TRUE(Get("/Jrs_Api/JrsCardGetFprImage") == PictureAnswer(black));
  tw::log::Shutdown();
  const std::string log = ReadFile(work_.path() / "routes.txt");
  EXPECT_NE(log.find("[handle_JRS_CARD_GetFprImage@"), std::string::npos) << log;
  EXPECT_NE(log.find("Fpr.bmp not written"), std::string::npos) << log;
}

TEST_F(CardTerminalRoutes, RecordsCarryTheirLabelsUnderTheHandlersName) {
  ASSERT_TRUE(tw::log::Init((work_.path() / "Log" / "routes.txt").string(), tw::log::Severity::Debug));
  Get("/Jrs_Api/JrsCardCommOpen?CardPort=70000&DevicePort=2");
  Get("/Jrs_Api/JrsCardDataRead?StructType=2&Index=x1&Count=3");
  Get("/Jrs_Api/JrsCardCommWriteEx?Data=abc");
  tw::log::Shutdown();
  const std::string log = ReadFile(work_.path() / "Log" / "routes.txt");
  for (const char* line :
       {"cardport:4464 devicePort:2", "JRS_CARD_CommOpen return:0", "handle_JRS_CARD_DataRead StructType:2",
        "handle_JRS_CARD_DataRead Index:x1", "handle_JRS_CARD_DataRead Count:3", "JRS_CARD_DataRead return:-7",
        "handle_JRS_CARD_CommWriteEx Data:abc", "handle_JRS_CARD_CommWriteEx return:-5",
        "[handle_JRS_CARD_DataRead@"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

TEST(FingerprintPicture, HexDigitsPairByPair) {
  const struct {
    const char* text;
    int length;
    std::vector<unsigned char> bytes;
  } cases[] = {
      {"00ff7Fa0", 8, {0x00, 0xFF, 0x7F, 0xA0}},
      {"12345", 5, {0x12, 0x34}},  // an odd last digit is left alone
      {"G1 2zZ", 6, {0x01, 0x02, 0x00}},
      {"AB\0CD", 6, {0xAB, 0x0C, 0xD0}},  // the zero byte counts as 0 and the pairs go on
      {"AB", 0, {}},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> out(4, 0x55);
    HexToBytes(c.text, out.data(), c.length);
    std::vector<unsigned char> expected = c.bytes;
    expected.resize(4, 0x55);
    EXPECT_EQ(out, expected) << c.text;
  }
}

TEST(FingerprintPicture, GreyBmpLayout) {
  sim::Bytes pixels(152 * 200);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i / 152);
  unsigned char* file = nullptr;
  int size = 0;
  BuildGrayBmp(&file, pixels.data(), &size);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(size, 31478);
  const auto u32 = [file](size_t at) { return file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24; };
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  const struct {
    size_t offset;
    int value;
  } fields[] = {{2, 31478}, {6, 0},      {10, 1078},  {14, 40},    {18, 152}, {22, 200},
                {30, 0},    {34, 30400}, {38, 19685}, {42, 19685}, {46, 0},   {50, 0}};
  for (const auto& f : fields) EXPECT_EQ(u32(f.offset), f.value) << f.offset;
  EXPECT_EQ(file[26] | file[27] << 8, 1);
  EXPECT_EQ(file[28] | file[29] << 8, 8);
  EXPECT_EQ(u32(54 + 4 * 200), 0x00C8C8C8);  // palette entry 200: blue, green, red 200, then 0
  EXPECT_EQ(file[1078], 199);                // the bottom row first
  EXPECT_EQ(file[1078 + 199 * 152], 0);      // the top row last
  std::free(file);
}

}  // namespace
