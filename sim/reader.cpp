#include "sim/reader.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/sim.h"

namespace sim {

namespace {

constexpr uint8_t kPreamble[5] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};

}  // namespace

Bytes MakeReply(uint8_t sw1, uint8_t sw2, uint8_t sw3, const Bytes& data) {
  const size_t length = data.size() + 4;
  Bytes r(kPreamble, kPreamble + 5);
  r.push_back(static_cast<uint8_t>(length >> 8));
  r.push_back(static_cast<uint8_t>(length));
  r.push_back(sw1);
  r.push_back(sw2);
  r.push_back(sw3);
  r.insert(r.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (size_t i = 5; i < r.size(); ++i) sum ^= r[i];
  r.push_back(sum);
  return r;
}

Bytes ReaderFirmware::Handle(const Bytes& request) {
  requests.push_back(request);
  if (!scriptedReplies.empty()) {
    Bytes r = std::move(scriptedReplies.front());
    scriptedReplies.pop_front();
    return r;
  }
  if (request.size() < 10) return {};
  const uint8_t command = request[7];
  const uint8_t parameter = request[8];
  uint8_t sw3 = 0x90;
  Bytes data;
  switch (command) {
    case 0x11:  // SAM status
    case 0x10:  // SAM reset
      break;
    default:
      sw3 = 0x21;  // unknown command
  }
  if (forcedSw3 >= 0) sw3 = static_cast<uint8_t>(forcedSw3);
  return MakeReply(parameter == 0xFF ? 0x00 : parameter, 0x00, sw3, data);
}

bool FrameAssembler::Add(const uint8_t* data, size_t size, Bytes* frame) {
  pending_.insert(pending_.end(), data, data + size);
  // Resynchronise on the preamble; HID padding after a frame is dropped here.
  while (!pending_.empty() && pending_[0] != 0xAA) pending_.erase(pending_.begin());
  if (pending_.size() < 7) return false;
  if (std::memcmp(pending_.data(), kPreamble, 5) != 0) {
    pending_.erase(pending_.begin());
    return false;
  }
  const size_t total = ((static_cast<size_t>(pending_[5]) << 8) | pending_[6]) + 7;
  if (pending_.size() < total) return false;
  frame->assign(pending_.begin(), pending_.begin() + static_cast<long>(total));
  pending_.clear();
  return true;
}

platform::hid::Attributes HidReader::GetAttributes() {
  platform::hid::Attributes a;
  a.vendorId = 0x2796;
  a.productId = productId_;
  a.versionNumber = 0x0100;
  return a;
}

bool HidReader::OnOutputReport(const uint8_t* report, size_t size) {
  if (report == nullptr || size != 65) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  ++outputReports;
  Bytes frame;
  if (!assembler_.Add(report + 1, size - 1, &frame)) return true;
  Bytes reply = firmware.Handle(frame);
  if (reply.empty() || faults.silent) return true;
  reports_.clear();
  for (unsigned i = 0; i < faults.zeroReports; ++i) reports_.emplace_back(65, 0);
  for (size_t off = 0; off < reply.size(); off += 64) {
    Bytes r(65, 0);
    std::memcpy(r.data() + 1, reply.data() + off, std::min<size_t>(64, reply.size() - off));
    reports_.push_back(std::move(r));
  }
  readyAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(faults.delayMs);
  cv_.notify_all();
  return true;
}

platform::hid::IoResult HidReader::OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (!reports_.empty() && now >= readyAt_) break;
    if (now >= deadline) return platform::hid::IoResult::TimedOut;
    const auto until = reports_.empty() ? deadline : std::min(deadline, readyAt_);
    cv_.wait_until(lock, until);
  }
  if (faults.unplugAfterReports >= 0 && reportsRead_ >= faults.unplugAfterReports) {
    lock.unlock();
    platform::hid::UnregisterVirtual(shared_from_this());
    return platform::hid::IoResult::Failed;
  }
  std::memcpy(report, reports_.front().data(), std::min<size_t>(size, 65));
  reports_.pop_front();
  ++reportsRead_;
  return platform::hid::IoResult::Ok;
}

bool SerialReader::OnWrite(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  Bytes frame;
  if (!assembler_.Add(data, size, &frame)) return true;
  Bytes reply = firmware.Handle(frame);
  if (reply.empty() || faults.silent) return true;
  out_.insert(out_.end(), reply.begin(), reply.end());
  readyAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(faults.delayMs);
  cv_.notify_all();
  return true;
}

long SerialReader::OnRead(uint8_t* data, size_t size, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  readSizes.push_back(size);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t got = 0;
  while (got < size) {
    const auto now = std::chrono::steady_clock::now();
    if (!out_.empty() && now >= readyAt_) {
      const size_t n = std::min(size - got, out_.size());
      std::memcpy(data + got, out_.data(), n);
      out_.erase(out_.begin(), out_.begin() + static_cast<long>(n));
      got += n;
      continue;
    }
    if (now >= deadline) break;
    cv_.wait_until(lock, out_.empty() ? deadline : std::min(deadline, readyAt_));
  }
  return static_cast<long>(got);
}

void SerialReader::OnPurge() {
  std::lock_guard<std::mutex> lock(mutex_);
  out_.clear();
  assembler_.Clear();
}

void InstallDefaultReaders() {
  if (!platform::SimulationEnabled() || platform::hid::VirtualCount() > 0) return;
  platform::hid::RegisterVirtual(std::make_shared<HidReader>());
  platform::serial::BindVirtual(1, std::make_shared<SerialReader>());
}

}  // namespace sim
