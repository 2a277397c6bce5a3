// The simulated reader's management commands: the user table, the update transfer, tweaks,
// length checks, and the way whole frames reach the model through the firmware.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/device_model.h"
#include "sim/reader.h"

using sim::Bytes;
using sim::DeviceModel;

namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes UserId(int n) { return Text("11010819900315" + std::to_string(1000 + n)); }

Bytes UserRecord(const Bytes& id, uint8_t kind, uint8_t fill) {
  return Cat(Cat(id, Bytes(6, fill)), Cat({kind}, Bytes(512, fill)));
}

Bytes Request(uint8_t command, uint8_t parameter, const Bytes& data) {
  Bytes r = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
  const size_t length = data.size() + 3;
  for (uint8_t b : {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), command, parameter})
    r.push_back(b);
  r.insert(r.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (size_t i = 5; i < r.size(); ++i) sum ^= r[i];
  r.push_back(sum);
  return r;
}

TEST(DeviceModel, UserTableDownloadReplaceCountAndList) {
  DeviceModel m;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(m.Handle(0x28, UserRecord(UserId(i), 1, static_cast<uint8_t>(i))).sw3, 0x90);
  EXPECT_EQ(m.Handle(0x28, UserRecord(UserId(1), 7, 0xEE)).sw3, 0x90);  // same id: replaced
  EXPECT_EQ(m.Handle(0x34, {}).data, (Bytes{0, 3}));
  ASSERT_EQ(m.users.size(), 3u);
  EXPECT_EQ(m.users[1].block, Bytes(512, 0xEE));

  const auto page = m.Handle(0x35, {0, 1, 0, 5});
  EXPECT_EQ(page.sw3, 0x90);
  EXPECT_EQ(page.data, Cat(Cat(UserId(1), Bytes(6, 0xEE)), Cat({7}, Cat(UserId(2), Cat(Bytes(6, 2), {1})))));
  EXPECT_EQ(m.Handle(0x35, {0, 0, 0, 1}).data.size(), 25u);
  const auto past = m.Handle(0x35, {0, 3, 0, 1});
  EXPECT_EQ(past.sw3, 0x90);
  EXPECT_TRUE(past.data.empty());

  EXPECT_EQ(m.Handle(0x29, {}).sw3, 0x90);
  EXPECT_EQ(m.Handle(0x34, {}).data, (Bytes{0, 0}));
}

TEST(DeviceModel, UserTableSearches) {
  DeviceModel m;
  EXPECT_EQ(m.Handle(0x2A, {1}).sw3, DeviceModel::kUserNotFound);
  m.Handle(0x28, UserRecord(UserId(0), 2, 0x10));
  m.Handle(0x28, UserRecord(m.cardIdNumber, 3, 0x20));

  EXPECT_EQ(m.Handle(0x2A, {1}).data, Cat({2}, Cat(UserId(0), Bytes(6, 0x10))));
  m.presentedUser = 2;
  const auto missing = m.Handle(0x2A, {1});
  EXPECT_EQ(missing.sw3, DeviceModel::kUserNotFound);
  EXPECT_TRUE(missing.data.empty());

  EXPECT_EQ(m.Handle(0x2C, {1}).data, Cat({3}, Cat(Text("110108199003150028"), Bytes(6, 0x20))));
  m.cardIdNumber = UserId(9);
  EXPECT_EQ(m.Handle(0x2C, {1}).sw3, DeviceModel::kUserNotFound);

  m.userCapacity = 2;
  EXPECT_EQ(m.Handle(0x28, UserRecord(UserId(5), 1, 0)).sw3, DeviceModel::kTableFull);
  EXPECT_EQ(m.Handle(0x28, UserRecord(UserId(0), 1, 0)).sw3, 0x90);
}

// Sends `image` in 1024-byte packets numbered from `first`; the SW3 of each packet.
std::vector<uint8_t> SendFirmware(DeviceModel& m, const Bytes& image, uint8_t first) {
  std::vector<uint8_t> sw3s;
  uint8_t number = first;
  for (size_t off = 0; off < image.size(); off += 1024, ++number) {
    const Bytes piece(image.begin() + off, image.begin() + std::min(image.size(), off + 1024));
    sw3s.push_back(m.Handle(0x50, Cat({0x02, number}, piece)).sw3);
  }
  return sw3s;
}

Bytes Firmware(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return b;
}

TEST(DeviceModel, UpdateReassemblesPacketsAcrossTheNumberWrap) {
  DeviceModel m;
  const Bytes image = Firmware(10 * 1024);
  EXPECT_EQ(m.Handle(0x50, {0x01, 0x00, 0x00, 0x28, 0x00}).sw3, 0x90);
  EXPECT_EQ(SendFirmware(m, image, 0xFC), std::vector<uint8_t>(10, 0x90));
  EXPECT_EQ(m.Handle(0x50, {0x03, 0x01}).sw3, 0x90);
  EXPECT_EQ(m.firmwareImage, image);
  EXPECT_EQ(m.updateEndValue, 1);
}

TEST(DeviceModel, UpdateFailures) {
  DeviceModel m;
  const Bytes size = {0x01, 0x00, 0x00, 0x0C, 0x00};  // UpdateSize, 3 KiB
  // A packet before any UpdateSize.
  EXPECT_EQ(m.Handle(0x50, {0x02, 0x00, 0xAB}).sw3, DeviceModel::kUpdateOrder);

  m.Handle(0x50, size);
  EXPECT_EQ(m.Handle(0x50, Cat({0x02, 0x00}, Bytes(1024, 1))).sw3, 0x90);
  EXPECT_EQ(m.Handle(0x50, Cat({0x02, 0x02}, Bytes(1024, 1))).sw3, DeviceModel::kUpdateOrder);
  EXPECT_EQ(m.Handle(0x50, Cat({0x02, 0x01}, Bytes(1024, 1))).sw3, DeviceModel::kUpdateOrder);  // failed stays
  EXPECT_EQ(m.Handle(0x50, {0x03, 0x00}).sw3, DeviceModel::kUpdateFailed);

  m.Handle(0x50, size);
  EXPECT_EQ(SendFirmware(m, Firmware(3 * 1024 + 1), 0), (std::vector<uint8_t>{0x90, 0x90, 0x90, 0x34}));
  EXPECT_EQ(m.Handle(0x50, {0x03, 0x00}).sw3, DeviceModel::kUpdateFailed);

  m.Handle(0x50, size);
  SendFirmware(m, Firmware(2 * 1024), 0);
  EXPECT_EQ(m.Handle(0x50, {0x03, 0x00}).sw3, DeviceModel::kUpdateFailed);
  EXPECT_TRUE(m.firmwareImage.empty());
}

TEST(DeviceModel, ImagePieces) {
  DeviceModel m;
  EXPECT_EQ(m.Handle(0x22, {0}).sw3, DeviceModel::kNoImage);
  EXPECT_EQ(m.Handle(0x23, {0}).sw3, DeviceModel::kNoImage);
  m.imageWidth = 100;
  m.imageHeight = 30;
  EXPECT_EQ(m.Handle(0x21, {0}).data, (Bytes{0, 100, 0, 30, 0, 80}));
  Bytes all;
  for (uint8_t n = 0; n < 3; ++n) all = Cat(all, m.Handle(0x22, {n}).data);
  EXPECT_EQ(all, DeviceModel::MakeImage(100, 30));
  EXPECT_EQ(m.Handle(0x22, {2}).data.size(), 3000u - 2048u);
  const auto past = m.Handle(0x22, {3});
  EXPECT_EQ(past.sw3, DeviceModel::kNoImage);
  EXPECT_TRUE(past.data.empty());
}

TEST(DeviceModel, SettingsAndQueries) {
  DeviceModel m;
  EXPECT_EQ(m.Handle(0x01, {}).data, Text("TW-R100 V2.1.0"));
  m.Handle(0x11, Cat({0x01, 0x02}, Text("ws://10.0.0.2:9000")));
  EXPECT_EQ(m.Handle(0x12, {}).data, Cat({0x01, 0x02}, Text("ws://10.0.0.2:9000")));
  m.Handle(0x16, {1, 2, 0x03, 0xE8});
  EXPECT_EQ(m.led, (sim::LightSetting{1, 2, 1000}));
  EXPECT_EQ(m.ledBuzzer, sim::LightSetting{});
  EXPECT_EQ(m.Handle(0xFF, {1, 0x02}).data, Text("TW0000000001"));
  EXPECT_EQ(m.Handle(0xFF, {2, 0x09, 0x08}).data, (Bytes{0x09, 0x08}));
  EXPECT_EQ(m.Handle(0x04, {0x5A}).data, Text("6901234567892"));
  EXPECT_EQ(m.lastBarCodeRequest, Bytes{0x5A});
}

// A fresh model refuses the request with kBadArgument, no data and no change to its table.
void ExpectBadArgument(uint8_t parameter, const Bytes& data) {
  DeviceModel m;
  const auto r = m.Handle(parameter, data);
  EXPECT_EQ(r.sw3, DeviceModel::kBadArgument) << "parameter " << int{parameter} << ", " << data.size() << " bytes";
  EXPECT_TRUE(r.data.empty());
  EXPECT_TRUE(m.users.empty());
}

TEST(DeviceModel, BadLengths) {
  ExpectBadArgument(0x0F, Bytes(33, 'x'));
  ExpectBadArgument(0x11, {1});
  ExpectBadArgument(0x13, Bytes(117, 'x'));
  ExpectBadArgument(0x15, {1, 2, 3});
  ExpectBadArgument(0x17, {});
  ExpectBadArgument(0x18, Bytes(15));
  ExpectBadArgument(0x2E, {1});
  ExpectBadArgument(0x28, Bytes(536));
  ExpectBadArgument(0x28, Bytes(538));
  ExpectBadArgument(0x35, {0, 0, 1});
  ExpectBadArgument(0x50, {});
  ExpectBadArgument(0x50, {0x01, 0, 0, 1});
  ExpectBadArgument(0xFF, {2, 0x01});
  ExpectBadArgument(0xFF, {});
  ExpectBadArgument(0x22, {});
  ExpectBadArgument(0x2A, {});
}

TEST(DeviceModel, Tweaks) {
  DeviceModel m;
  m.tweaks[0x10].dataSize = 4;
  EXPECT_EQ(m.Handle(0x10, {}).data, Text("TW00"));
  m.tweaks[0x10] = {0x55, 0x31, 14};
  const auto r = m.Handle(0x10, {});
  EXPECT_EQ(r.sw1, 0x55);
  EXPECT_EQ(r.sw3, 0x31);
  EXPECT_EQ(r.data, Cat(Text("TW0000000001"), {0, 0}));
  EXPECT_EQ(m.Handle(0x01, {}).sw1, 0x01);  // only the tweaked parameter changes
}

TEST(DeviceModel, FramesThroughTheFirmware) {
  sim::ReaderFirmware fw;
  EXPECT_EQ(fw.Handle(Request(0x80, 0x01, {})), sim::MakeReply(0x01, 0, 0x90, Text("TW-R100 V2.1.0")));
  EXPECT_EQ(fw.Handle(Request(0x80, 0xFF, {1, 0x01})), sim::MakeReply(0xFF, 0, 0x90, Text("TW-R100")));
  EXPECT_EQ(fw.Handle(Request(0x80, 0x18, Bytes(3))), sim::MakeReply(0x18, 0, DeviceModel::kBadArgument, {}));
  // The card commands under 0x80 are not the model's.
  EXPECT_EQ(fw.Handle(Request(0x80, 0x05, {})), sim::MakeReply(0x05, 0, 0x90, fw.card.cardNumber));
  for (uint8_t p : {0x02, 0x03, 0x05, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x19, 0x3B, 0x3C, 0x3D, 0x3E})
    EXPECT_FALSE(fw.device.Handles(p)) << int{p};

  fw.sw3For[0x8010] = 0x41;
  EXPECT_EQ(fw.Handle(Request(0x80, 0x10, {})), sim::MakeReply(0x10, 0, 0x41, {}));
  fw.forcedSw3 = 0x42;
  EXPECT_EQ(fw.Handle(Request(0x80, 0x30, {})), sim::MakeReply(0x30, 0, 0x42, {}));
}

}  // namespace
