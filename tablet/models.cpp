#include "models.h"

namespace tablet {

const Model* FindModel(uint16_t vendorId, uint16_t productId, size_t inputReportLength) {
  for (const Model& m : kModels) {
    if (vendorId == kVendorId && productId == m.productId && inputReportLength == kInputReportLength) return &m;
  }
  return nullptr;
}

bool IsTabletId(uint16_t vendorId, uint16_t productId) {
  return FindModel(vendorId, productId, kInputReportLength) != nullptr;
}

namespace {

// Device types 2 and 3: eight bytes, the last one the sum of the others.
CommandReport Long(uint8_t b1, uint8_t b2, uint8_t b6 = 0) {
  CommandReport r{{0x05, b1, b2, 0, 0, 0, b6, 0}, 8};
  unsigned sum = 0;
  for (int i = 0; i < 7; ++i) sum += r.bytes[i];
  r.bytes[7] = static_cast<uint8_t>(sum);
  return r;
}

CommandReport Short(uint8_t b1) { return CommandReport{{0x05, b1, 0x70}, 3}; }

}  // namespace

CommandReport MakeCommand(const Model& model, Command command, int key) {
  if (model.deviceType == 1) {
    switch (command) {
      case Command::kClearScreen:
        return Short(0x33);
      case Command::kAtop:
        return Short(0x11);
      case Command::kPtoa:
        return Short(0x22);
      case Command::kReadSerial:
        return Short(0x88);
      case Command::kAcknowledgeKey:
        return Short(0xAA);
    }
    return CommandReport{{}, 0};
  }
  switch (command) {
    case Command::kClearScreen:
      return Long(0x03, 0x21);
    case Command::kAtop:
      return Long(0x03, 0x00);
    case Command::kPtoa:
      return Long(0x04, 0x00);
    case Command::kReadSerial:
      return model.deviceType == 2 ? Long(0x05, 0x0A) : CommandReport{{}, 0};
    case Command::kAcknowledgeKey:
      return Long(0x03, key == 17 ? 0x12 : 0x11, 0xFF);
  }
  return CommandReport{{}, 0};
}

}  // namespace tablet
