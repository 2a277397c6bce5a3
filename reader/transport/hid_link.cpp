#include "hid_link.h"

#include <cstring>

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
  if (!kHidPorts.Contains(port)) return false;
  auto*& slot = slots_[kHidPorts.Index(port)];
  hid::Close(slot);
  slot = finder.Find(kHidPorts.Index(port));
  return slot != nullptr;
}

bool HidLink::Close(int port) {
  if (Slot(port) == nullptr) return false;
  hid::Close(slots_[kHidPorts.Index(port)]);
  slots_[kHidPorts.Index(port)] = nullptr;
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

Status HidLink::Transfer(hid::Device* device, const uint8_t* request, size_t requestSize, int timeoutSeconds,
                         bool expectReply, uint8_t* reply, size_t replyCapacity, uint16_t* replySize) {
  if (replySize) *replySize = 0;
  if (device == nullptr || request == nullptr || reply == nullptr || requestSize == 0) return Status::kSendFailed;

  uint8_t report[kReportSize];
  for (size_t offset = 0; offset < requestSize; offset += kPayloadSize) {
    report[0] = 0x00;
    const size_t chunk = requestSize - offset < kPayloadSize ? requestSize - offset : kPayloadSize;
    std::memcpy(report + 1, request + offset, chunk);
    // Past the frame the last report is zero-filled.
    std::memset(report + 1 + chunk, 0, kPayloadSize - chunk);
    if (!SendReport(device, report)) return Status::kSendFailed;
  }
  if (!expectReply) return Status::kOk;

  const uint32_t timeoutMs = TimeoutMs(timeoutSeconds);
  bool ok = ReadReport(device, report, timeoutMs);
  if (ok) {
    // A zero report ID followed by 63 zero bytes is no answer yet; its last payload byte is
    // not looked at.
    bool allZero = true;
    for (size_t i = 0; i < kPayloadSize && allZero; ++i) allZero = report[i] == 0;
    if (allZero) ok = ReadReport(device, report, timeoutMs);
  }
  if (!ok) return Status::kReceiveFailed;

  const uint8_t* payload = report + 1;
  if (!HasPreamble(payload)) return Status::kNoPreamble;
  const size_t total = ((static_cast<size_t>(payload[5]) << 8) | payload[6]) + 7;
  static const uint8_t kWholeReportReply[9] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0xC0, 0xFF, 0x10, 0x7A};

  size_t have = 0;
  if (total <= kPayloadSize) {
    if (total > replyCapacity) return Status::kReplyTooLong;
    std::memcpy(reply, payload, total);
    have = total;
  } else if (std::memcmp(payload, kWholeReportReply, sizeof kWholeReportReply) == 0) {
    if (kPayloadSize > replyCapacity) return Status::kReplyTooLong;
    std::memcpy(reply, payload, kPayloadSize);
    have = kPayloadSize;
  } else {
    // A length beyond the caller's buffer is refused; nothing is copied past it.
    if (total > replyCapacity) return Status::kReplyTooLong;
    std::memcpy(reply, payload, kPayloadSize);
    have = kPayloadSize;
    while (have < total) {
      if (!ReadReport(device, report, timeoutMs)) return Status::kReceiveFailed;
      const size_t chunk = total - have < kPayloadSize ? total - have : kPayloadSize;
      std::memcpy(reply + have, report + 1, chunk);
      have += chunk;
    }
  }
  if (replySize) *replySize = static_cast<uint16_t>(have);
  return Status::kOk;
}

Status RunHidExchange(HidExchange& x) {
  if (!kHidPorts.Contains(x.port)) return Status::kPortOutOfRange;
  HidLink& link = Hid();
  if (x.openFlag == 1) link.Open(x.port);
  hid::Device* device = link.Slot(x.port);
  if (device == nullptr) return Status::kNoDevice;
  // A handle kept open across commands may still hold reports of an earlier answer (a late
  // one, or the rest of one that failed); they must not pass for this command's reply.
  if (x.openFlag != 1) device->FlushInput();
  size_t offset = 0;
  Status s = Status::kOk;
  if (x.splitLongFrames) {
    // Every full report but the last goes alone, without waiting for a reply.
    while (s == Status::kOk && x.requestSize - offset > kPayloadSize) {
      s = link.Transfer(device, x.request + offset, kPayloadSize, x.timeoutSeconds, false, x.reply, x.replyCapacity,
                        &x.replySize);
      offset += kPayloadSize;
    }
  }
  if (s == Status::kOk) {
    s = link.Transfer(device, x.request + offset, x.requestSize - offset, x.timeoutSeconds, true, x.reply,
                      x.replyCapacity, &x.replySize);
  }
  if (x.openFlag == 1) link.Close(x.port);
  return s == Status::kOk ? CheckReply(x.reply, x.replySize) : s;
}

}  // namespace vnsdt
