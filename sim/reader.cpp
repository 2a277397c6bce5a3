#include "sim/reader.h"

#include "sim/portrait.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "platform/sim.h"
#include "vnsdt_card_text.h"

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

Bytes MakeTextBlock(const std::u16string& name, const std::u16string& sex, const std::u16string& nation,
                    const std::u16string& birth, const std::u16string& address, const std::u16string& idNumber,
                    const std::u16string& authority, const std::u16string& validFrom, const std::u16string& validTo) {
  namespace layout = vnsdt::card_text;
  const std::u16string values[] = {name, sex, nation, birth, address, idNumber, authority, validFrom, validTo, u""};
  static_assert(sizeof values / sizeof values[0] == sizeof layout::kResidentFields / sizeof layout::kResidentFields[0]);
  Bytes block(layout::kBlockSize, 0);
  size_t i = 0;
  for (const layout::Field& field : layout::kResidentFields) {
    const std::u16string& value = values[i++];
    for (size_t unit = 0; unit < field.units; ++unit) {
      const char16_t c = unit < value.size() ? value[unit] : u' ';
      block[field.offset + 2 * unit] = static_cast<uint8_t>(c & 0xFF);
      block[field.offset + 2 * unit + 1] = static_cast<uint8_t>(c >> 8);
    }
  }
  block.resize(layout::kReserved.offset + layout::kReserved.bytes());
  return block;
}

SampleCard MakeSampleCard() {
  SampleCard c;
  c.text = MakeTextBlock(u"林小满", u"2", u"01", u"19900315", u"北京市海淀区示例路18号院3号楼2单元501室",
                         u"110108199003150028", u"北京市公安局海淀分局", u"20200101", u"20300101");
  c.photo = MakePortraitBlock();
  c.fingerprint.resize(1024);
  for (size_t i = 0; i < c.fingerprint.size(); ++i) c.fingerprint[i] = static_cast<uint8_t>((i * 13 + 5) & 0xFF);
  c.newAddress.assign(70, 0x20);
  c.cardNumber = {0x12, 0xAB, 0x34, 0xCD, 0x56, 0xEF, 0x78, 0x90};
  c.uid = {0xDE, 0xAD, 0xBE, 0xEF};
  return c;
}

ReaderFirmware::ReaderFirmware()
    : card(MakeSampleCard()),
      samId{0x05, 0x00, 0x01, 0x00, 0x2A, 0x3B, 0x34, 0x01, 0x87, 0xD6, 0x12, 0x00, 0x40, 0xE2, 0x01, 0x00},
      mngInfo(28),
      psamAtr{0x3B, 0x6C, 0x00, 0x00, 0x80, 0x64, 0x11, 0x65, 0x01, 0x90, 0x73, 0x00, 0x00, 0x00, 0x00, 0x00},
      typeAMemory(128 * 16),
      typeAKey(6, 0xFF) {
  for (size_t i = 0; i < mngInfo.size(); ++i) mngInfo[i] = static_cast<uint8_t>(0x30 + i);
  for (size_t i = 0; i < typeAMemory.size(); ++i) typeAMemory[i] = static_cast<uint8_t>(i);
}

namespace {

void Put16(Bytes& b, size_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// SW3 values the simulated reader answers with when something is missing.
constexpr uint8_t kNoCard = 0x80;
constexpr uint8_t kSelectFailed = 0x81;
constexpr uint8_t kReadFailed = 0x41;
constexpr uint8_t kAuthenticationFailed = 0x33;
constexpr uint8_t kAddressOutOfRange = 0x34;
constexpr uint8_t kUnknownCommand = 0x21;

}  // namespace

Bytes ReaderFirmware::Handle(const Bytes& request) {
  requests.Add(request);
  if (!scriptedReplies.empty()) {
    Bytes r = std::move(scriptedReplies.front());
    scriptedReplies.pop_front();
    return r;
  }
  if (request.size() < 10) return {};
  const uint8_t command = request[7];
  const uint8_t parameter = request[8];
  const uint16_t key = static_cast<uint16_t>(command << 8 | parameter);
  // SW1 echoes the parameter byte; the SAM commands (parameter 0xFF) answer 0, the query 0x80 0xFF
  // echoes it.
  const uint8_t echo = parameter == 0xFF && command != 0x80 ? 0x00 : parameter;
  // The command runs (and changes what it changes) even when a fault then replaces its answer.
  DeviceReply reply = Answer(command, parameter, echo, Bytes(request.begin() + 9, request.end() - 1));
  const auto one = sw3For.find(key);
  if (one != sw3For.end()) return MakeReply(echo, 0x00, static_cast<uint8_t>(one->second), {});
  if (forcedSw3 >= 0) {
    reply.sw3 = static_cast<uint8_t>(forcedSw3);
    if (reply.sw3 != 0x90 && reply.sw3 != 0x9F) reply.data.clear();
  }
  return MakeReply(reply.sw1, 0x00, reply.sw3, reply.data);
}

DeviceReply ReaderFirmware::Answer(uint8_t command, uint8_t parameter, uint8_t echo, const Bytes& data) {
  DeviceReply r;
  r.sw1 = echo;
  const auto unless = [&r](bool ok, uint8_t failure) {
    if (!ok) r.sw3 = failure;
    return ok;
  };
  switch (command << 8 | parameter) {
    case 0x11FF:
    case 0x10FF:
      break;
    case 0x12FF:
      r.data = samId;
      break;
    case 0x2001:
      if (unless(cardPresent, kNoCard)) {
        r.sw3 = 0x9F;
        r.data = {0, 0, 0, 0};
      }
      break;
    case 0x2002:
      if (unless(cardPresent, kSelectFailed)) r.data.assign(8, 0);
      break;
    case 0x3001:
    case 0x3010:
      if (!unless(cardPresent, kReadFailed)) break;
      Put16(r.data, card.text.size());
      Put16(r.data, card.photo.size());
      if (parameter == 0x10) Put16(r.data, card.fingerprint.size());
      r.data.insert(r.data.end(), card.text.begin(), card.text.end());
      r.data.insert(r.data.end(), card.photo.begin(), card.photo.end());
      if (parameter == 0x10) r.data.insert(r.data.end(), card.fingerprint.begin(), card.fingerprint.end());
      break;
    case 0x3003:
      if (unless(cardPresent, kReadFailed)) r.data = card.newAddress;
      break;
    case 0x3005:
      r.data = mngInfo;
      break;
    case 0x8005:
      if (unless(cardPresent, kNoCard)) r.data = card.cardNumber;
      break;
    case 0x8002:
      r.data = psamAtr;
      break;
    case 0x8003:
      r.data = {0x90, 0x00};
      break;
    case 0x8019:
      r.data.assign(data.rbegin(), data.rend());
      r.data.push_back(0x90);
      r.data.push_back(0x00);
      break;
    default:
      if (command == 0x80 && ((parameter >= 0x08 && parameter <= 0x0E) || (parameter >= 0x3B && parameter <= 0x3E))) {
        r.sw3 = TypeACard(parameter, data, &r.data);
      } else if (command == 0x80 && device.Handles(parameter)) {
        // The card commands above keep their 0x80 parameters; the device model takes the rest.
        r = device.Handle(parameter, data);
      } else {
        r.sw3 = kUnknownCommand;
      }
  }
  return r;
}

uint8_t ReaderFirmware::TypeACard(uint8_t parameter, const Bytes& data, Bytes* out) {
  switch (parameter) {
    case 0x08:
    case 0x09:
      if (!cardPresent || data.empty()) return kNoCard;
      *out = {data[0]};
      out->insert(out->end(), card.uid.begin(), card.uid.end());
      return 0x90;
    case 0x0A:
      if (!cardPresent) return kNoCard;
      *out = card.uid;
      return 0x90;
    case 0x0B:
    case 0x3B:
      return data.size() == 7 && Bytes(data.begin() + 1, data.end()) == typeAKey ? 0x90 : kAuthenticationFailed;
    case 0x0C:
    case 0x3C:
      if (data.size() != 13 || Bytes(data.begin() + 1, data.begin() + 7) != typeAKey) return kAuthenticationFailed;
      typeAKey.assign(data.begin() + 7, data.end());
      return 0x90;
    default: {  // 0x0D and 0x3D read blocks, 0x0E and 0x3E write them
      if (data.size() < 4) return kAddressOutOfRange;
      const size_t start = static_cast<size_t>(data[0] << 8 | data[1]) * 16;
      const size_t count = static_cast<size_t>(data[2] << 8 | data[3]);
      if (start + count > typeAMemory.size()) return kAddressOutOfRange;
      const auto at = typeAMemory.begin() + static_cast<long>(start);
      if ((parameter & 0x0F) == 0x0D) {
        out->assign(at, at + static_cast<long>(count));
        return 0x90;
      }
      if (data.size() != 4 + count) return kAddressOutOfRange;
      std::copy(data.begin() + 4, data.end(), at);
      return 0x90;
    }
  }
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
  if (faults.failWrites) return false;
  ++outputReports;
  Bytes frame;
  if (!assembler_.Add(report + 1, size - 1, &frame)) return true;
  Bytes reply = firmware.Handle(frame);
  if (reply.empty() || faults.silent) return true;
  // What the host has not read stays queued, as on the wire: only the host drops it.
  for (unsigned i = 0; i < faults.zeroReports; ++i) {
    reports_.emplace_back(65, 0);
    reports_.back()[64] = faults.zeroReportLastByte;
  }
  for (unsigned copy = 0; copy <= faults.staleReports; ++copy) {
    for (size_t off = 0; off < reply.size(); off += 64) {
      Bytes r(65, 0);
      std::memcpy(r.data() + 1, reply.data() + off, std::min<size_t>(64, reply.size() - off));
      reports_.push_back(std::move(r));
    }
  }
  readyAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(faults.delayMs);
  cv_.notify_all();
  return true;
}

platform::hid::IoResult HidReader::OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  inputTimeouts.push_back(timeoutMs);
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

void HidReader::OnOpen() { OnFlushInput(); }

void HidReader::OnFlushInput() {
  std::lock_guard<std::mutex> lock(mutex_);
  reports_.clear();
}

size_t HidReader::PendingReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_.size();
}

bool SerialReader::OnWrite(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (faults.failWrites) return false;
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
  readTimeouts.push_back(timeoutMs);
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

ScopedReaders::ScopedReaders(int comPort) : hid(std::make_shared<HidReader>()), comPort_(comPort) {
  platform::SetSimulationForTesting(true);
  platform::hid::UnregisterAllVirtual();
  platform::hid::RegisterVirtual(hid);
  if (comPort_ != 0) {
    serial = std::make_shared<SerialReader>();
    platform::serial::BindVirtual(comPort_, serial);
  }
}

ScopedReaders::~ScopedReaders() {
  if (comPort_ != 0) platform::serial::UnbindVirtual(comPort_);
  platform::hid::UnregisterAllVirtual();
}

bool SimulatedFamily(const char* family) {
  const char* list = std::getenv("TARNWICK_SIM_READERS");
  const std::string readers = list != nullptr && *list != '\0' ? list : "own";
  size_t start = 0;
  while (start <= readers.size()) {
    const size_t end = std::min(readers.find(',', start), readers.size());
    if (readers.compare(start, end - start, family) == 0) return true;
    start = end + 1;
  }
  return false;
}

namespace {

struct DefaultReaders {
  std::mutex mutex;
  std::shared_ptr<HidReader> hid;
  std::shared_ptr<SerialReader> serial;
  bool plugged = false;
};

// Released with the library: a host that unloads it leaves nothing behind.
DefaultReaders& Defaults() {
  static DefaultReaders readers;
  return readers;
}

}  // namespace

void InstallDefaultReaders() {
  if (!platform::SimulationEnabled() || platform::hid::VirtualCount() > 0 || !SimulatedFamily("own")) return;
  DefaultReaders& d = Defaults();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.hid = std::make_shared<HidReader>();
  d.serial = std::make_shared<SerialReader>();
  platform::hid::RegisterVirtual(d.hid);
  platform::serial::BindVirtual(1, d.serial);
  d.plugged = true;
}

bool ControlDefaultReaders(const char* setting, int value) {
  DefaultReaders& d = Defaults();
  std::lock_guard<std::mutex> lock(d.mutex);
  if (setting == nullptr || !d.hid) return false;
  const std::string_view name(setting);
  if (name == "card") {
    d.hid->firmware.cardPresent = value != 0;
    d.serial->firmware.cardPresent = value != 0;
    return true;
  }
  if (name != "plugged") return false;
  if (value != 0 && !d.plugged) {
    platform::hid::RegisterVirtual(d.hid);
    platform::serial::BindVirtual(1, d.serial);
  } else if (value == 0 && d.plugged) {
    platform::hid::UnregisterVirtual(d.hid);
    platform::serial::UnbindVirtual(1);
  }
  d.plugged = value != 0;
  return true;
}

}  // namespace sim
