#include "platform/hid_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform::hid {
namespace {

struct Case {
  const char* name;
  std::vector<uint8_t> descriptor;
  Caps caps;
  bool numbered;
};

class Descriptor : public ::testing::TestWithParam<Case> {};

TEST_P(Descriptor, GivesTheClassDriversCaps) {
  const Case& c = GetParam();
  const DescriptorInfo info = ParseReportDescriptor(c.descriptor.data(), c.descriptor.size());
  EXPECT_EQ(info.caps.usagePage, c.caps.usagePage);
  EXPECT_EQ(info.caps.usage, c.caps.usage);
  EXPECT_EQ(info.caps.inputReportLength, c.caps.inputReportLength);
  EXPECT_EQ(info.caps.outputReportLength, c.caps.outputReportLength);
  EXPECT_EQ(info.caps.featureReportLength, c.caps.featureReportLength);
  EXPECT_EQ(info.numberedReports, c.numbered);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, Descriptor,
    ::testing::Values(
        // A boot mouse: three buttons, padding, x and y; unnumbered, so one byte for the ID.
        Case{"mouse",
             {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15,
              0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01,
              0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0},
             {1, 2, 4, 0, 0},
             false},
        // A vendor page with 64-byte reports each way, as the ID-card readers have.
        Case{"vendor",
             {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
              0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0},
             {0xFF00, 1, 65, 65, 0},
             false},
        // Numbered reports: the longest of each kind counts, plus its ID.
        Case{"numbered",
             {0x05, 0x0D, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x02, 0x75, 0x08, 0x95, 0x07, 0x81, 0x02,
              0x85, 0x03, 0x95, 0x03, 0x81, 0x02, 0x85, 0x05, 0x95, 0x02, 0xB1, 0x02, 0xC0},
             {0x0D, 2, 8, 0, 3},
             true},
        // A usage with its page in the upper half; Push and Pop keep the globals.
        Case{"extended usage, push and pop",
             {0x0B, 0x01, 0x00, 0x0C, 0x00, 0xA1, 0x01, 0x75, 0x08, 0xA4, 0x75,
              0x10, 0x95, 0x01, 0x81, 0x02, 0xB4, 0x95, 0x02, 0x81, 0x02, 0xC0},
             {0x0C, 1, 5, 0, 0},
             false},
        // Cut short in the middle of an item: what came before stands.
        Case{"truncated", {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x08, 0x95}, {1, 6, 0, 0, 0}, false},
        Case{"empty", {}, {0, 0, 0, 0, 0}, false}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string n = info.param.name;
      for (char& ch : n) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

}  // namespace
}  // namespace platform::hid
