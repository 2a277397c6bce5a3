#include "hid_link.h"

#include <cstring>

#include "frame.h"

namespace vnsdt {

namespace hid = platform::hid;

HidLink& Hid() {
  static HidLink link;
  return link;
}

hid::Device* CSdtDeviceHid::OpenIfReader(int index) {
  std::string path;
  if (!hid::DevicePathAt(index, &path)) return nullptr;
  hid::Device* device = hid::Open(path);
  if (device == nullptr) return nullptr;
  hid::Attributes a;
  if (device->GetAttributes(&a) && a.vendorId == kReaderVendorId &&
      (a.productId == kReaderProductIds[0] || a.productId == kReaderProductIds[1])) {
    return device;
  }
  hid::Close(device);
  return nullptr;
}

int CSdtDeviceHid::Count() {
  int count = 0;
  // Every index is visited: a missing one does not end the walk.
  for (int i = 0; i < hid::kMaxInterfaceIndex; ++i) {
    if (hid::Device* d = OpenIfReader(i)) {
      hid::Close(d);
      ++count;
    }
  }
  return count;
}

hid::Device* CSdtDeviceHid::Find(int k) {
  if (k < 0) return nullptr;
  int number = 0;
  for (int i = 0; i < hid::kMaxInterfaceIndex; ++i) {
    hid::Device* d = OpenIfReader(i);
    if (d == nullptr) continue;
    if (number++ == k) return d;
    hid::Close(d);
  }
  return nullptr;
}

HidLink::~HidLink() {
  for (auto*& d : slots_) {
    hid::Close(d);
    d = nullptr;
  }
}

bool HidLink::Open(int port) {
  if (!InRange(port)) return false;
  auto*& slot = slots_[port - kFirstPort];
  hid::Close(slot);
  slot = finder.Find(port - kFirstPort);
  return slot != nullptr;
}

bool HidLink::Close(int port) {
  if (!InRange(port) || slots_[port - kFirstPort] == nullptr) return false;
  hid::Close(slots_[port - kFirstPort]);
  slots_[port - kFirstPort] = nullptr;
  return true;
}

bool HidLink::SendReport(hid::Device* device, const uint8_t* report) {
  if (transType == 2) return device->Write(report, kReportSize, kWriteTimeoutMs) == hid::IoResult::Ok;
  return device->SetOutputReport(report, kReportSize);
}

bool HidLink::ReadReport(hid::Device* device, uint8_t* report, uint32_t timeoutMs) {
  std::memset(report, 0, kReportSize);
  if (transType == 2) return device->Read(report, kReportSize, timeoutMs) == hid::IoResult::Ok;
  return device->GetInputReport(report, kReportSize);
}

bool HidLink::Transfer(hid::Device* device, const uint8_t* request, size_t requestSize, int timeoutSeconds,
                       bool expectReply, uint8_t* reply, size_t replyCapacity, uint16_t* replySize, int* failure) {
  if (replySize) *replySize = 0;
  if (failure) *failure = kHidSendFailed;
  if (device == nullptr || request == nullptr || reply == nullptr || requestSize == 0) return false;

  uint8_t report[kReportSize];
  for (size_t offset = 0; offset < requestSize; offset += kPayloadSize) {
    report[0] = 0x00;
    const size_t chunk = requestSize - offset < kPayloadSize ? requestSize - offset : kPayloadSize;
    std::memcpy(report + 1, request + offset, chunk);
    // Past the frame the last report is zero-filled.
    std::memset(report + 1 + chunk, 0, kPayloadSize - chunk);
    if (!SendReport(device, report)) return false;
  }
  if (failure) *failure = kHidOk;
  if (!expectReply) return true;
  if (failure) *failure = kHidReceiveFailed;

  const uint32_t timeoutMs = TimeoutMs(timeoutSeconds);
  bool ok = ReadReport(device, report, timeoutMs);
  if (ok) {
    bool allZero = true;
    for (size_t i = 0; i < kReportSize && allZero; ++i) allZero = report[i] == 0;
    if (allZero) ok = ReadReport(device, report, timeoutMs);
  }
  if (!ok) return false;

  const uint8_t* payload = report + 1;
  if (!HasPreamble(payload)) return false;
  const size_t total = ((static_cast<size_t>(payload[5]) << 8) | payload[6]) + 7;
  static const uint8_t kWholeReportMark[9] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0xC0, 0xFF, 0x10, 0x7A};

  size_t have = 0;
  if (total <= kPayloadSize) {
    if (total > replyCapacity) return false;
    std::memcpy(reply, payload, total);
    have = total;
  } else if (std::memcmp(payload, kWholeReportMark, sizeof kWholeReportMark) == 0) {
    if (kPayloadSize > replyCapacity) return false;
    std::memcpy(reply, payload, kPayloadSize);
    have = kPayloadSize;
  } else {
    // A length beyond the caller's buffer is a failed read; nothing is copied past it.
    if (total > replyCapacity) return false;
    std::memcpy(reply, payload, kPayloadSize);
    have = kPayloadSize;
    while (have < total) {
      if (!ReadReport(device, report, timeoutMs)) return false;
      const size_t chunk = total - have < kPayloadSize ? total - have : kPayloadSize;
      std::memcpy(reply + have, report + 1, chunk);
      have += chunk;
    }
  }
  if (replySize) *replySize = static_cast<uint16_t>(have);
  if (failure) *failure = kHidOk;
  return true;
}

int RunHidExchange(HidExchange& x, bool* transferred) {
  if (transferred) *transferred = false;
  if (!HidLink::InRange(x.port)) return 0;
  HidLink& link = Hid();
  if (x.openFlag == 1) link.Open(x.port);
  hid::Device* device = link.Slot(x.port);
  if (device == nullptr) return 1;
  x.failure = kHidOk;
  size_t offset = 0;
  bool ok = true;
  if (x.splitLongFrames) {
    // Every full report but the last goes alone, without waiting for a reply.
    while (ok && x.requestSize - offset > kPayloadSize) {
      ok = link.Transfer(device, x.request + offset, kPayloadSize, x.timeoutSeconds, false, x.reply, x.replyCapacity,
                         &x.replySize, &x.failure);
      offset += kPayloadSize;
    }
  }
  if (ok) {
    ok = link.Transfer(device, x.request + offset, x.requestSize - offset, x.timeoutSeconds, true, x.reply,
                       x.replyCapacity, &x.replySize, &x.failure);
  }
  if (x.openFlag == 1) link.Close(x.port);
  if (ok && CheckReply(x.reply, x.replySize) != 0) x.failure = kHidReceiveFailed;
  if (x.failure != kHidOk) return -1;
  if (transferred) *transferred = true;
  return 0;
}

}  // namespace vnsdt
