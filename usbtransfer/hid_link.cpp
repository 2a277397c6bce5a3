#include "hid_link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "first_open.h"

namespace jrs {
namespace {

namespace hid = platform::hid;

constexpr size_t kPayload = 64;
constexpr size_t kReportSize = kPayload + 1;  // report ID 0 first
constexpr size_t kReplyMark = 10;             // a reply has begun once one of these is not 0
const hid::ReadRetries kRetries{3, 1000, 50};

void RealSleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
SleepFunction g_sleep = RealSleep;

bool IsTerminal(hid::Device* device) {
  hid::Attributes a;
  return device->GetAttributes(&a) && a.vendorId == kHidVendor && a.productId == kHidProduct &&
         a.versionNumber == kHidVersion;
}

bool Begun(const uint8_t* report) {
  return std::any_of(report + 1, report + 1 + kReplyMark, [](uint8_t b) { return b != 0; });
}

void Take(uint8_t* reply, uint32_t replyLength, uint32_t offset, const uint8_t* report) {
  if (offset < replyLength) std::memcpy(reply + offset, report + 1, std::min<size_t>(kPayload, replyLength - offset));
}

}  // namespace

void SetSleepForTesting(SleepFunction sleep) { g_sleep = sleep != nullptr ? sleep : RealSleep; }

hid::Device* FindHidTerminal() {
  const auto openAt = [](size_t i) {
    std::string path;
    return hid::DevicePathAt(static_cast<int>(i), &path) ? hid::Open(path) : nullptr;
  };
  return FirstTerminal<hid::Device>(kHidInterfaces, openAt, IsTerminal, hid::Close);
}

Status HidTransfer(hid::Device* device, const uint8_t* request, uint16_t requestLength, uint8_t* reply,
                   uint32_t replyLength, uint8_t timeoutPolls) {
  if (device == nullptr || request == nullptr || requestLength == 0 || reply == nullptr) {
    return Status::kMissingArgument;
  }
  // Every report must go out: a block with a report missing would reach the terminal corrupted.
  for (size_t offset = 0; offset < requestLength; offset += kPayload) {
    uint8_t report[kReportSize] = {};
    std::memcpy(report + 1, request + offset, std::min<size_t>(kPayload, requestLength - offset));
    if (device->Write(report, sizeof report, kWriteTimeoutMs) != hid::IoResult::Ok) return Status::kSendFailed;
  }
  g_sleep(kReplyPauseMs);

  const int polls = timeoutPolls + 1;
  for (int poll = 0; poll < polls; ++poll) {
    uint8_t report[kReportSize] = {};
    if (hid::ReadWithRetries(device, report, sizeof report, kRetries) != hid::IoResult::Ok) {
      return Status::kReceiveFailed;
    }
    Take(reply, replyLength, 0, report);
    if (Begun(report)) {
      for (uint32_t offset = kPayload; offset < replyLength; offset += kPayload) {
        if (hid::ReadWithRetries(device, report, sizeof report, kRetries) != hid::IoResult::Ok) {
          return Status::kReceiveFailed;
        }
        Take(reply, replyLength, offset, report);
      }
      return Status::kOk;
    }
    if (poll + 1 < polls) g_sleep(kPollPauseMs);
  }
  return Status::kOk;
}

}  // namespace jrs
