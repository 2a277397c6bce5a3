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

// The parser's state between items: the global items (with their push stack), the first usage
// of the pending local items, the collections open, and the bits of each report.
class Parser {
 public:
  void Global(int tag, uint32_t v) {
    switch (tag) {
      case kUsagePage:
        g_.usagePage = v;
        break;
      case kReportSize:
        g_.reportSize = v;
        break;
      case kReportCount:
        g_.reportCount = v;
        break;
      case kReportId:
        g_.reportId = v;
        info_.numberedReports = true;
        break;
      case kPush:
        if (depth_ < kMaxPushDepth) stack_[depth_++] = g_;
        break;
      case kPop:
        if (depth_ > 0) g_ = stack_[--depth_];
        break;
      default:
        break;
    }
  }

  void Local(int tag, size_t size, uint32_t v) {
    if (tag != kUsage || haveUsage_) return;
    // A four-byte usage carries its own page in the upper half.
    firstUsage_ = size == 4 ? v : ((g_.usagePage & 0xFFFF) << 16) | (v & 0xFFFF);
    haveUsage_ = true;
  }

  void Main(int tag) {
    switch (tag) {
      case kCollection:
        if (collectionDepth_ == 0 && !topLevelSeen_) {
          topLevelSeen_ = true;
          info_.caps.usagePage = static_cast<uint16_t>(firstUsage_ >> 16);
          info_.caps.usage = static_cast<uint16_t>(firstUsage_);
        }
        ++collectionDepth_;
        break;
      case kEndCollection:
        if (collectionDepth_ > 0) --collectionDepth_;
        break;
      case kInput:
      case kOutput:
      case kFeature:
        bits_[{tag, g_.reportId}] += static_cast<uint64_t>(g_.reportSize) * g_.reportCount;
        break;
      default:
        break;
    }
    // Local items last until the next main item.
    haveUsage_ = false;
  }

  DescriptorInfo Finish() {
    for (const auto& [key, count] : bits_) {
      const uint16_t length = ReportLength(count);
      uint16_t* field = key.first == kInput    ? &info_.caps.inputReportLength
                        : key.first == kOutput ? &info_.caps.outputReportLength
                                               : &info_.caps.featureReportLength;
      *field = std::max(*field, length);
    }
    return info_;
  }

 private:
  DescriptorInfo info_;
  Globals g_;
  Globals stack_[kMaxPushDepth];
  size_t depth_ = 0;
  uint32_t firstUsage_ = 0;
  bool haveUsage_ = false;
  bool topLevelSeen_ = false;
  int collectionDepth_ = 0;
  std::map<std::pair<int, uint32_t>, uint64_t> bits_;  // per (kind, report ID)
};

}  // namespace

DescriptorInfo ParseReportDescriptor(const uint8_t* d, size_t size) {
  if (d == nullptr) return DescriptorInfo();
  Parser parser;
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
      parser.Global(tag, v);
    } else if (type == kLocal) {
      parser.Local(tag, n, v);
    } else if (type == kMain) {
      parser.Main(tag);
    }
  }
  return parser.Finish();
}

}  // namespace platform::hid
