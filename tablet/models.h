// The three tablet models: ids, extents, report layouts and command reports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tablet {

constexpr uint16_t kVendorId = 0x0B57;
constexpr size_t kInputReportLength = 8;  // report ID included
constexpr uint8_t kInputReportId = 2;
constexpr int kPressureLevels = 1024;

struct Model {
  int deviceType;  // 1, 2, 3
  uint16_t productId;
  int32_t xExtent;
  int32_t yExtent;
  size_t featureLength;  // bytes of every command report, ID included
};

// In the order discovery matches them.
constexpr Model kModels[] = {
    {1, 0x8420, 6144, 3072, 3},
    {2, 0x8421, 8320, 4992, 8},
    {3, 0x8816, 8352, 4175, 8},
};

// The row for these ids and this input report length; null when none fits.
const Model* FindModel(uint16_t vendorId, uint16_t productId, size_t inputReportLength);
bool IsTabletId(uint16_t vendorId, uint16_t productId);

// Commands, with the numbers the log calls them by.
enum class Command { kClearScreen = 2, kAtop = 3, kPtoa = 4, kReadSerial = 6, kAcknowledgeKey = 7 };

struct CommandReport {
  uint8_t bytes[8];
  size_t size;  // 0: the model has no such command
};

// The feature report of a command for a model. The key acknowledgement of device types 2 and 3
// depends on the key: `key` is 17 or 18 there, ignored elsewhere.
CommandReport MakeCommand(const Model& model, Command command, int key = 0);

}  // namespace tablet
