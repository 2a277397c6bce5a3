#include "decode.h"

namespace tablet {
namespace {

constexpr uint32_t kPenMessage = 0x28000000;
constexpr uint32_t kKeyMessage = 0x58000000;

uint16_t Word(const uint8_t* r, int at) { return static_cast<uint16_t>(r[at] | r[at + 1] << 8); }

// A pen packet of a contact report (announced with its point) or of a hover report (announced
// without).
Decoded Pen(int32_t x, int32_t y, int32_t pressure, bool contact) {
  Decoded d;
  d.hasPacket = true;
  d.packet.x = x;
  d.packet.y = y;
  d.packet.pressure = pressure;
  d.wParam = contact ? static_cast<uint32_t>(x) * 65536u + static_cast<uint32_t>(y) : 0;
  d.lParam = kPenMessage + static_cast<uint32_t>(pressure);
  return d;
}

Decoded Key(int key) {
  Decoded d;
  d.hasPacket = true;
  d.packet.key = key;
  d.lParam = kKeyMessage + static_cast<uint32_t>(key);
  return d;
}

Decoded Acknowledgement() {
  Decoded d;
  d.acknowledgement = true;
  return d;
}

bool IsPenReportOfTypes2And3(uint8_t status) {
  return (status & 0xA0) == 0xA0 || status == 0xE0 || (status & 0xB0) == 0xB0;
}

// The raw y inside the active window low < y < high maps onto 0..3072; at or below it 0, at or
// above it 3072.
int32_t MapY(uint16_t y, int32_t low, int32_t high) {
  if (y <= low) return 0;
  if (y >= high) return 3072;
  return (y - low) * 3072 / (high - low);
}

// Pen reports of device types 1 and 3: contact reports map the raw y from the active window
// low < y < high; hover reports give the model's own hover y. false: not one of their statuses.
bool ContactOrHover(const uint8_t* r, int32_t low, int32_t high, int32_t (*hoverY)(uint16_t y), Decoded* d) {
  const uint16_t x = Word(r, 2), y = Word(r, 4), pressure = Word(r, 6);
  switch (r[1]) {
    case 0xA1:
      *d = Pen(x, MapY(y, low, high), (y > low && y < high) ? pressure : 0, true);
      return true;
    case 0xA0:
    case 0xE0:
      *d = Pen(x, MapY(y, low, high), 0, true);
      return true;
    case 0xB0:
    case 0xB1:
      *d = Pen(x, hoverY(y), 0, false);
      return true;
    default:
      return false;
  }
}

}  // namespace

Decoded Decoder::Decode(const uint8_t report[kInputReportLength]) {
  if (report[0] != kInputReportId) return Decoded{};
  const uint8_t status = report[1];
  const bool serial = model_.deviceType == 2 ? status == 0x88 : (status == 0x77 || status == 0x88);
  if (serial) {
    Decoded d;
    d.serialReply = true;
    d.acknowledgement = true;
    return d;
  }
  switch (model_.deviceType) {
    case 1:
      return Type1(report);
    case 2:
      return Type2(report);
    default:
      return Type3(report);
  }
}

Decoded Decoder::Type1(const uint8_t* r) {
  Decoded d;
  if (ContactOrHover(
          r, 955, 7237, [](uint16_t y) { return static_cast<int32_t>(y); }, &d))
    return d;
  if (r[1] != 0x55) return Decoded{};
  if (r[2] == 5 && (r[3] == 0x11 || r[3] == 0x22 || r[3] == 0x33) && r[4] == 0x70 && r[5] == 0xFF && r[6] == 0xFF &&
      r[7] == 0xFF) {
    return Acknowledgement();
  }
  if (r[2] == 0xFF && r[3] == 0xFF && r[4] == 0xFF && r[5] == 0xFF && r[6] == 0) {
    Decoded d = r[7] == 0xFF ? Key(kConfirmKey) : r[7] == 0 ? Key(kClearKey) : Decoded{};
    // Every key report is acknowledged, whatever key it names.
    // A copy of the packed field: a reference to it would be misaligned.
    d.keyToAcknowledge = d.hasPacket ? int32_t{d.packet.key} : kClearKey;
    return d;
  }
  return Decoded{};
}

Decoded Decoder::Type3(const uint8_t* r) {
  if (!IsPenReportOfTypes2And3(r[1])) return KeysOfTypes2And3(r);
  // Hovering, y counts from the window's near side, and stays raw beyond its far side.
  const auto hoverY = [](uint16_t y) -> int32_t { return y <= 1136 ? 0 : y >= 5311 ? y : y - 1136; };
  Decoded d;
  return ContactOrHover(r, 1136, 5311, hoverY, &d) ? d : Decoded{};
}

Decoded Decoder::Type2(const uint8_t* r) {
  const uint8_t status = r[1];
  if (!IsPenReportOfTypes2And3(status)) return KeysOfTypes2And3(r);
  // The axes are turned: x comes from word B, y from word A counted from the far side.
  const uint16_t x = Word(r, 4), pressure = Word(r, 6);
  const int32_t v = static_cast<uint16_t>(6240 - Word(r, 2));
  constexpr int32_t kNear = 624, kFar = 5616, kBeyond = 4992;
  if ((status & 0xB0) == 0xB0) {
    if (v >= kFar) {
      edge_ = true;
      return Pen(x, kBeyond, 0, false);
    }
    return Pen(x, v <= kNear ? 0 : v - kNear, 0, false);
  }
  if (status != 0xA1 && status != 0xA0 && status != 0xE0) return Decoded{};
  Decoded d;
  if (v >= kFar) {
    if (edge_) return Decoded{};  // dropped: no packet, no message
    d = Pen(x, kBeyond, 0, true);
  } else if (v <= kNear) {
    d = Pen(x, 0, 0, true);
  } else {
    d = Pen(x, v - kNear, status == 0xA1 ? pressure : 0, true);
  }
  if (status == 0xE0) edge_ = false;
  return d;
}

Decoded Decoder::KeysOfTypes2And3(const uint8_t* r) {
  const uint8_t status = r[1];
  if (status == 3 && (r[2] == 0x11 || r[2] == 0x12)) {
    Decoded d = Key(r[2] == 0x12 ? kConfirmKey : kClearKey);
    if (model_.deviceType == 2) edge_ = false;
    d.keyToAcknowledge = d.packet.key;
    d.acknowledgeKeyFirst = true;
    return d;
  }
  if (status == 3) return Acknowledgement();
  if (status == 1 && (r[2] == 0 || r[2] == 8)) return Acknowledgement();
  if (status == 4 && r[2] == 0 && r[7] == 6) return Acknowledgement();
  return Decoded{};
}

}  // namespace tablet
