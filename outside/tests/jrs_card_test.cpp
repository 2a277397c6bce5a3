// The card-library stand-in above the transfer library's objects and the simulated terminal:
// records into the data text, writes, commands, and every failure code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JRS_40QK_CardDll.h"
#include "hid_link.h"
#include "sim/card_terminal.h"

namespace {

std::string DataText(short* result = nullptr) {
  std::vector<char> text(100000, '\x7F');
  const short r = JRS_CARD_GetDataStrEx(text.data());
  if (result != nullptr) *result = r;
  return text.data();
}

std::string Hex(const sim::Bytes& pixels) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (uint8_t p : pixels) hex += {kDigits[p >> 4], kDigits[p & 15]};
  return hex;
}

void NoSleep(uint32_t) {}

class CardLibrary : public ::testing::TestWithParam<sim::Guise> {
 protected:
  void SetUp() override {
    jrs::SetSleepForTesting(NoSleep);
    SimJrs_Control("reset", 0);
    ASSERT_EQ(JRS_CARD_CommOpen(3, 4), 0);
  }
  void TearDown() override {
    JRS_CARD_CommClose();
    jrs::SetSleepForTesting(nullptr);
  }
  sim::ScopedTerminal terminal_{GetParam()};
  sim::TerminalFirmware& firmware_ = *terminal_.firmware;
};

const char kHolder[] =
    "type=1|index=0|cardNo=JX2026000157|name=ZHAO MINGYU|idNo=110108200104150033|licence=C1|"
    "school=NORTH LAKE SAMPLE DRIVING SCHOOL|enrolled=20260105";
const char kSession1[] =
    "type=2|index=1|date=20260112|start=1400|end=1545|minutes=105|subject=2|coach=C0007|vehicle=A1234|km=0.0";
const char kSession2[] =
    "type=2|index=2|date=20260120|start=0900|end=1100|minutes=120|subject=3|coach=C0007|vehicle=A1234|km=38.5";

TEST_P(CardLibrary, ReadsSelectRecordsByTypeIndexAndCount) {
  const std::string status =
      "type=0|index=0|firmware=QRM-417B 1.00|serial=VN417-000123|cardPort=3|devicePort=4|"
      "card=1|clock=20260302080000|display=";
  const struct {
    short(TW_STDCALL* read)(unsigned short, unsigned short, unsigned short);
    unsigned short type, index, count;
    short result;
    std::string text;
  } cases[] = {
      {JRS_CARD_CommRead, 1, 0, 1, 0, kHolder},
      {JRS_CARD_CommRead, 2, 1, 2, 0, std::string(kSession1) + "\n" + kSession2},
      {JRS_CARD_CommRead, 2, 1, 0, 0, std::string(kSession1) + "\n" + kSession2},  // 0: all from Index
      {JRS_CARD_CommRead, 2, 2, 9, 0, kSession2},
      {JRS_CARD_CommRead, 3, 3, 1, 0, "type=3|index=3|subject=4|required=600|done=0"},
      {JRS_CARD_CmdRead, 0, 0, 1, 0, status},
      {JRS_CARD_CommRead, 2, 3, 1, -7, ""},
      {JRS_CARD_CommRead, 4, 2, 1, -7, ""},
      {JRS_CARD_CommRead, 0, 0, 1, -5, ""},
      {JRS_CARD_CommRead, 9, 0, 1, -5, ""},
      {JRS_CARD_DataRead, 2, 0, 0, -7, ""},  // the terminal has recorded nothing yet
      {JRS_CARD_DataRead, 4, 0, 1, -7, ""},  // nor taken a fingerprint
      {JRS_CARD_DataRead, 1, 0, 1, -5, ""},
      {JRS_CARD_CmdRead, 1, 0, 1, -7, ""},  // no command yet
      {JRS_CARD_CmdRead, 2, 0, 1, -5, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.index << "/" << c.count);
    EXPECT_EQ(c.read(c.type, c.index, c.count), c.result);
    short got = -99;
    EXPECT_EQ(DataText(&got), c.text);
    EXPECT_EQ(got, c.result == 0 ? 1 : 0);  // a failed read leaves no data text
  }
  firmware_.sessions = {{{"date", "20260301"}}};
  EXPECT_EQ(JRS_CARD_DataRead(2, 0, 1), 0);
  EXPECT_EQ(DataText(), "type=2|index=0|date=20260301");
}

TEST_P(CardLibrary, FingerprintsAreHexTextOfThePicture) {
  ASSERT_EQ(JRS_CARD_CommRead(4, 1, 1), 0);
  const std::string text = DataText();
  ASSERT_EQ(text.size(), 60800u);
  EXPECT_EQ(text, Hex(firmware_.card.fingerprints[1]));
  EXPECT_NE(text, Hex(firmware_.card.fingerprints[0]));

  EXPECT_EQ(JRS_CARD_CommCommandEx(3, ""), 0);
  ASSERT_EQ(JRS_CARD_DataRead(4, 0, 1), 0);
  EXPECT_EQ(DataText(), Hex(firmware_.captured));
}

TEST_P(CardLibrary, WritesApplyWholeOrNotAtAll) {
  EXPECT_EQ(JRS_CARD_CommWriteEx("type=2|index=3|date=20260303|minutes=45\r\ntype=1|index=0|licence=C2\n"), 0);
  ASSERT_EQ(JRS_CARD_CommRead(2, 3, 1), 0);
  EXPECT_EQ(DataText(), "type=2|index=3|date=20260303|minutes=45");
  ASSERT_EQ(JRS_CARD_CommRead(1, 0, 1), 0);
  EXPECT_NE(DataText().find("|licence=C2|"), std::string::npos);

  const auto before = firmware_.card.records;
  const struct {
    std::string text;
    short result;
  } refused[] = {
      {"", -5},
      {"\n\n", -5},
      {"type=4|index=0|pixels=00", -5},
      {"type=2|index=9|date=20260101", -7},
      {"type=1|index=0|name", -5},
      {"type=1|index=0|=x", -5},
      {"index=0|type=1|name=x", -5},
      {"type=1|index=0|index=1", -5},
      {"type=1|index=0|note=" + std::string(240, 'n'), -5},  // the line passes 256 bytes
      {"type=1|index=0|note=" + std::string(150, 'n') + "\ntype=1|index=0|more=" + std::string(150, 'm'), -5},
      {"type=1|index=0|name=LI LEI\ntype=3|index=x|done=1", -5},  // the first line is not written either
  };
  for (const auto& c : refused) {
    EXPECT_EQ(JRS_CARD_CommWriteEx(c.text.c_str()), c.result) << c.text;
  }
  EXPECT_EQ(firmware_.card.records, before);
  EXPECT_EQ(JRS_CARD_CommWriteEx(nullptr), -5);
}

TEST_P(CardLibrary, CommandsReachTheTerminal) {
  const struct {
    unsigned short command;
    const char* data;
    short result;
  } cases[] = {
      {1, "20260401093000", 0},
      {1, "2026040109300", -5},
      {1, "2026040109300x", -5},
      {2, "LESSON 4", 0},
      {2, "A|B", -5},
      {3, nullptr, 0},
      {99, "", -8},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JRS_CARD_CommCommandEx(c.command, c.data), c.result) << c.command << " " << (c.data ? c.data : "-");
  }
  EXPECT_EQ(firmware_.clock, "20260401093000");
  EXPECT_EQ(firmware_.display, "LESSON 4");
  ASSERT_EQ(JRS_CARD_CmdRead(1, 0, 1), 0);
  EXPECT_EQ(DataText(), "type=1|index=0|command=99|data=|status=5");
  ASSERT_EQ(JRS_CARD_CmdRead(0, 0, 1), 0);
  EXPECT_NE(DataText().find("|clock=20260401093000|display=LESSON 4"), std::string::npos);
}

TEST_P(CardLibrary, FailuresGiveTheirCodes) {
  firmware_.card.present = false;
  EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), -6);
  EXPECT_EQ(JRS_CARD_CommWriteEx("type=1|index=0|a=b"), -6);
  EXPECT_EQ(JRS_CARD_CmdRead(0, 0, 1), 0);  // the terminal answers without a card
  firmware_.card.present = true;

  sim::TerminalFaults& faults = terminal_.disk ? terminal_.disk->faults : terminal_.hid->faults;
  faults.failSend = true;
  EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), -3);
  faults = {};
  // No reply block: one that starts with ten zero bytes, or (HID) none within the polls.
  if (terminal_.disk) {
    faults.zeroStart = true;
  } else {
    faults.silentPolls = 6;
  }
  EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), -4);
  EXPECT_EQ(DataText(), "");
  faults = {};
  EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), 0);

  EXPECT_EQ(JRS_CARD_CommClose(), 0);
  EXPECT_FALSE(firmware_.opened);
  for (short r : {JRS_CARD_CommClose(), JRS_CARD_CommRead(1, 0, 1), JRS_CARD_CommWriteEx("type=1|index=0|a=b"),
                  JRS_CARD_CommCommandEx(1, "20260101000000")}) {
    EXPECT_EQ(r, -1);
  }
  platform::scsi::UnregisterAllVirtual();
  platform::hid::UnregisterAllVirtual();
  EXPECT_EQ(JRS_CARD_CommOpen(0, 0), -2);
  EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), -1);
}

TEST_P(CardLibrary, VersionForcedResultsAndCalls) {
  char version[256] = {};
  EXPECT_EQ(JRS_CARD_GetDllVer(version), 0);
  EXPECT_STREQ(version, "JRS_40QK_CardDll 1.0.0 (Tarnwick stand-in)");
  ASSERT_EQ(JRS_CARD_CommRead(1, 0, 1), 0);
  SimJrs_Control("JRS_CARD_GetDataStrEx", 7);
  short r = 0;
  EXPECT_EQ(DataText(&r), kHolder);  // the text still comes
  EXPECT_EQ(r, 7);
  SimJrs_Control("JRS_CARD_CommRead", -30);
  EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), -30);
  EXPECT_EQ(SimJrs_Calls("JRS_CARD_CommRead"), 2);
  EXPECT_EQ(SimJrs_Calls("JRS_CARD_CommOpen"), 1);
  SimJrs_Control("reset", 0);
  EXPECT_EQ(SimJrs_Calls("JRS_CARD_CommRead"), 0);
  EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), 0);
}

INSTANTIATE_TEST_SUITE_P(BothGuises, CardLibrary, ::testing::Values(sim::Guise::kDisk, sim::Guise::kHid),
                         [](const auto& info) { return info.param == sim::Guise::kDisk ? "Disk" : "Hid"; });

}  // namespace
