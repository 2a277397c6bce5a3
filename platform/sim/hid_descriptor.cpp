#include "platform/hid_descriptor.h"

#include <algorithm>
#include <map>
#include <utility>

namespace platform::hid {
namespace {

// Item types and the tags this parser follows.
constexpr int kMain = 0;
constexpr int kGlobal = 1;
constexpr int kLocal = 2;
constexpr int kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kFeature = 0xB, kEndCollection = 0xC;
constexpr int kUsagePage = 0x0, kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9, kPush = 0xA, kPop = 0xB;
constexpr int kUsage = 0x0;
constexpr size_t kMaxPushDepth = 16;

struct Globals {
  uint32_t usagePage = 0;
  uint32_t reportSize = 0;
  uint32_t reportCount = 0;
  uint32_t reportId = 0;
};

uint32_t Value(const uint8_t* data, size_t size) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; ++i) v |= static_cast<uint32_t>(data[i]) << (8 * i);
  return v;
}

// Every report length counts the ID byte, numbered or not.
uint16_t ReportLength(uint64_t bits) {
  const uint64_t bytes = (bits + 7) / 8 + 1;
  return static_cast<uint16_t>(std::min<uint64_t>(bytes, 0xFFFF));
}

}  // namespace

DescriptorInfo ParseReportDescriptor(const uint8_t* d, size_t size) {
  DescriptorInfo info;
  if (d == nullptr) return info;
  Globals g;
  Globals stack[kMaxPushDepth];
  size_t depth = 0;
  uint32_t firstUsage = 0;
  bool haveUsage = false;
  bool topLevelSeen = false;
  int collectionDepth = 0;
  // Bits per (kind, report ID).
  std::map<std::pair<int, uint32_t>, uint64_t> bits;

  size_t pos = 0;
  while (pos < size) {
    const uint8_t prefix = d[pos];
    if (prefix == 0xFE) {  // long item: its data size, then its tag, then the data
      if (pos + 2 >= size) break;
      pos += 3 + d[pos + 1];
      continue;
    }
    static constexpr size_t kSizes[4] = {0, 1, 2, 4};
    const size_t n = kSizes[prefix & 3];
    if (pos + 1 + n > size) break;
    const uint32_t v = Value(d + pos + 1, n);
    const int type = (prefix >> 2) & 3;
    const int tag = prefix >> 4;
    pos += 1 + n;

    if (type == kGlobal) {
      switch (tag) {
        case kUsagePage:
          g.usagePage = v;
          break;
        case kReportSize:
          g.reportSize = v;
          break;
        case kReportCount:
          g.reportCount = v;
          break;
        case kReportId:
          g.reportId = v;
          info.numberedReports = true;
          break;
        case kPush:
          if (depth < kMaxPushDepth) stack[depth++] = g;
          break;
        case kPop:
          if (depth > 0) g = stack[--depth];
          break;
        default:
          break;
      }
    } else if (type == kLocal) {
      if (tag == kUsage && !haveUsage) {
        // A four-byte usage carries its own page in the upper half.
        firstUsage = n == 4 ? v : ((g.usagePage & 0xFFFF) << 16) | (v & 0xFFFF);
        haveUsage = true;
      }
    } else if (type == kMain) {
      switch (tag) {
        case kCollection:
          if (collectionDepth == 0 && !topLevelSeen) {
            topLevelSeen = true;
            info.caps.usagePage = static_cast<uint16_t>(firstUsage >> 16);
            info.caps.usage = static_cast<uint16_t>(firstUsage);
          }
          ++collectionDepth;
          break;
        case kEndCollection:
          if (collectionDepth > 0) --collectionDepth;
          break;
        case kInput:
        case kOutput:
        case kFeature:
          bits[{tag, g.reportId}] += static_cast<uint64_t>(g.reportSize) * g.reportCount;
          break;
        default:
          break;
      }
      // Local items last until the next main item.
      haveUsage = false;
    }
  }

  for (const auto& [key, count] : bits) {
    const uint16_t length = ReportLength(count);
    uint16_t* field = key.first == kInput    ? &info.caps.inputReportLength
                      : key.first == kOutput ? &info.caps.outputReportLength
                                             : &info.caps.featureReportLength;
    *field = std::max(*field, length);
  }
  return info;
}

}  // namespace platform::hid
