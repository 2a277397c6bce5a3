// The built stand-in loading the built jrs_3G_usb, whose simulated terminal the environment
// chose (TARNWICK_SIM_TERMINAL: disk, hid or none).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "JRS_40QK_CardDll.h"

namespace {

std::string DataText() {
  std::vector<char> text(100000, 0);
  JRS_CARD_GetDataStrEx(text.data());
  return text.data();
}

bool TerminalAttached() {
  const char* guise = std::getenv("TARNWICK_SIM_TERMINAL");
  return guise == nullptr || std::string(guise) != "none";
}

TEST(CardLibraryDll, OpenReadWriteAndClose) {
  char version[256] = {};
  EXPECT_EQ(JRS_CARD_GetDllVer(version), 0);
  EXPECT_STREQ(version, "JRS_40QK_CardDll 1.0.0 (Tarnwick stand-in)");
  if (!TerminalAttached()) {
    EXPECT_EQ(JRS_CARD_CommOpen(1, 2), -2);
    EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), -1);
    EXPECT_EQ(JRS_CARD_CommClose(), -1);
    return;
  }
  ASSERT_EQ(JRS_CARD_CommOpen(4464, 2), 0);
  ASSERT_EQ(JRS_CARD_CmdRead(0, 0, 1), 0);
  EXPECT_NE(DataText().find("|cardPort=4464|devicePort=2|"), std::string::npos) << DataText();
  ASSERT_EQ(JRS_CARD_CommRead(4, 0, 1), 0);
  const std::string fingerprint = DataText();
  EXPECT_EQ(fingerprint.size(), 60800u);
  EXPECT_EQ(fingerprint.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(JRS_CARD_CommWriteEx("type=2|index=3|date=20260305|minutes=60"), 0);
  ASSERT_EQ(JRS_CARD_CommRead(2, 3, 1), 0);
  EXPECT_EQ(DataText(), "type=2|index=3|date=20260305|minutes=60");
  EXPECT_EQ(JRS_CARD_CommCommandEx(2, "HELLO"), 0);
  EXPECT_EQ(JRS_CARD_CommClose(), 0);
  EXPECT_EQ(JRS_CARD_CommRead(1, 0, 1), -1);
}

}  // namespace
