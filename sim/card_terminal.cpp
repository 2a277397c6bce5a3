#include "sim/card_terminal.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/sim.h"

namespace sim {
namespace {

using namespace blocks;

std::string RecordText(uint16_t type, size_t index, const Fields& fields) {
  std::string text = "type=" + std::to_string(type) + "|index=" + std::to_string(index);
  for (const auto& [name, value] : fields) text += "|" + name + "=" + value;
  return text;
}

std::string Join(uint16_t type, const std::vector<Fields>& records, size_t first, size_t count) {
  std::string text;
  for (size_t i = first; i < first + count; ++i) {
    if (!text.empty()) text += "\n";
    text += RecordText(type, i, records[i]);
  }
  return text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool Number(const std::string& text, size_t* value) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::strtoul(text.c_str(), nullptr, 10);
  return true;
}

void Set(Fields& fields, const std::string& name, const std::string& value) {
  for (auto& field : fields) {
    if (field.first == name) {
      field.second = value;
      return;
    }
  }
  fields.emplace_back(name, value);
}

// One line of written text: "type=T|index=I|name=value|...".
struct Edit {
  uint16_t type = 0;
  size_t index = 0;
  Fields fields;
};

bool ParseLine(const std::string& line, Edit* edit) {
  if (line.size() > kMaxRecordText) return false;
  const std::vector<std::string> parts = Split(line, '|');
  if (parts.size() < 3) return false;
  size_t type = 0;
  if (parts[0].rfind("type=", 0) != 0 || !Number(parts[0].substr(5), &type)) return false;
  if (parts[1].rfind("index=", 0) != 0 || !Number(parts[1].substr(6), &edit->index)) return false;
  edit->type = static_cast<uint16_t>(type);
  for (size_t i = 2; i < parts.size(); ++i) {
    const size_t eq = parts[i].find('=');
    if (eq == 0 || eq == std::string::npos) return false;
    const std::string name = parts[i].substr(0, eq);
    if (name == "type" || name == "index") return false;
    edit->fields.emplace_back(name, parts[i].substr(eq + 1));
  }
  return true;
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

TrainingCard MakeSampleTrainingCard() {
  TrainingCard c;
  c.records[kHolderRecord] = {{{"cardNo", "JX2026000157"},
                               {"name", "ZHAO MINGYU"},
                               {"idNo", "110108200104150033"},
                               {"licence", "C1"},
                               {"school", "NORTH LAKE SAMPLE DRIVING SCHOOL"},
                               {"enrolled", "20260105"}}};
  const auto session = [](const char* date, const char* start, const char* end, const char* minutes,
                          const char* subject, const char* km) {
    return Fields{{"date", date},       {"start", start},   {"end", end},         {"minutes", minutes},
                  {"subject", subject}, {"coach", "C0007"}, {"vehicle", "A1234"}, {"km", km}};
  };
  c.records[kSessionRecord] = {session("20260110", "0830", "1000", "90", "2", "0.0"),
                               session("20260112", "1400", "1545", "105", "2", "0.0"),
                               session("20260120", "0900", "1100", "120", "3", "38.5")};
  c.records[kTotalRecord] = {{{"subject", "1"}, {"required", "720"}, {"done", "720"}},
                             {{"subject", "2"}, {"required", "960"}, {"done", "195"}},
                             {{"subject", "3"}, {"required", "2280"}, {"done", "120"}},
                             {{"subject", "4"}, {"required", "600"}, {"done", "0"}}};
  c.fingerprints = {MakeFingerprintPicture(0), MakeFingerprintPicture(1)};
  return c;
}

TerminalFirmware::TerminalFirmware() : card(MakeSampleTrainingCard()) {}

Bytes TerminalFirmware::Handle(const Bytes& block) {
  requests.Add(block);
  const size_t capacity = block.size() >= kHeader ? GetU16(block.data() + 4) : kOverhead;
  const std::optional<Request> request = DecodeRequest(block);
  if (!request) {
    Reply bad;
    bad.sequence = block.size() > 2 ? block[2] : 0;
    bad.command = block.size() > 3 ? block[3] : 0;
    bad.status = kBadBlock;
    return EncodeReply(bad, capacity);
  }
  return EncodeReply(Execute(*request), request->capacity);
}

Reply TerminalFirmware::Execute(const Request& request) {
  Reply reply;
  reply.sequence = request.sequence;
  reply.command = request.command;
  const Bytes& p = request.payload;
  switch (request.command) {
    case kOpen:
      if (p.size() != 4) {
        reply.status = kBadParameter;
        break;
      }
      opened = true;
      cardPort = GetU16(p.data());
      devicePort = GetU16(p.data() + 2);
      break;
    case kClose:
      reply.status = static_cast<uint8_t>(opened ? kOk : kNotOpen);
      opened = false;
      break;
    case kRead:
      reply.status = opened ? Read(p, &reply.payload) : static_cast<uint8_t>(kNotOpen);
      break;
    case kWrite:
      reply.status = opened ? Write(p) : static_cast<uint8_t>(kNotOpen);
      break;
    case blocks::kCommand:
      reply.status = opened ? Command(p) : static_cast<uint8_t>(kNotOpen);
      break;
    default:
      reply.status = kUnknownCommand;
  }
  if (reply.status != kOk) reply.payload.clear();
  return reply;
}

uint8_t TerminalFirmware::Read(const Bytes& p, Bytes* out) {
  if (p.size() != 7) return kBadParameter;
  const uint8_t area = p[0];
  const uint16_t type = GetU16(p.data() + 1);
  const size_t index = GetU16(p.data() + 3);
  const size_t count = GetU16(p.data() + 5);
  const std::vector<Fields>* records = nullptr;
  std::vector<Fields> answer;
  switch (area) {
    case kCardArea:
      if (!card.present) return kNoCard;
      if (type == kFingerprintRecord) {
        if (index >= card.fingerprints.size()) return kNoRecord;
        *out = card.fingerprints[index];
        return kOk;
      }
      if (type < kHolderRecord || type > kTotalRecord) return kBadParameter;
      records = &card.records[type];
      break;
    case kTerminalArea:
      if (type == kFingerprintRecord) {
        if (index != 0 || captured.empty()) return kNoRecord;
        *out = captured;
        return kOk;
      }
      if (type != kSessionRecord) return kBadParameter;
      records = &sessions;
      break;
    case kCommandArea:
      if (type == kStatusRecord) {
        answer.push_back({{"firmware", "QRM-417B 1.00"},
                          {"serial", "VN417-000123"},
                          {"cardPort", std::to_string(cardPort)},
                          {"devicePort", std::to_string(devicePort)},
                          {"card", card.present ? "1" : "0"},
                          {"clock", clock},
                          {"display", display}});
      } else if (type == kHolderRecord) {
        if (lastCommand.empty()) return kNoRecord;
        answer.push_back(lastCommand);
      } else {
        return kBadParameter;
      }
      records = &answer;
      break;
    default:
      return kBadParameter;
  }
  if (index >= records->size()) return kNoRecord;
  const size_t n = count == 0 ? records->size() - index : std::min(count, records->size() - index);
  *out = ToBytes(Join(type, *records, index, n));
  return kOk;
}

uint8_t TerminalFirmware::Write(const Bytes& p) {
  if (!card.present) return kNoCard;
  std::string text(p.begin(), p.end());
  std::vector<Edit> edits;
  for (std::string line : Split(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    Edit edit;
    if (!ParseLine(line, &edit) || edit.type < kHolderRecord || edit.type > kTotalRecord) return kBadParameter;
    edits.push_back(std::move(edit));
  }
  if (edits.empty()) return kBadParameter;
  // Checked whole before anything changes: a write is applied entirely or not at all.
  std::map<uint16_t, std::vector<Fields>> next = card.records;
  for (const Edit& edit : edits) {
    std::vector<Fields>& records = next[edit.type];
    if (edit.index > records.size() || (edit.index == records.size() && records.size() >= kMaxRecords)) {
      return kNoRecord;
    }
    if (edit.index == records.size()) records.emplace_back();
    for (const auto& [name, value] : edit.fields) Set(records[edit.index], name, value);
    if (RecordText(edit.type, edit.index, records[edit.index]).size() > kMaxRecordText) return kBadParameter;
  }
  card.records = std::move(next);
  return kOk;
}

uint8_t TerminalFirmware::Command(const Bytes& p) {
  if (p.size() < 2) return kBadParameter;
  const uint16_t command = GetU16(p.data());
  const std::string text(p.begin() + 2, p.end());
  uint8_t status = kOk;
  switch (command) {
    case kSetClock:
      if (text.size() == 14 && text.find_first_not_of("0123456789") == std::string::npos) {
        clock = text;
      } else {
        status = kBadParameter;
      }
      break;
    case kShowText:
      if (text.size() <= 64 && text.find_first_of("|\r\n") == std::string::npos) {
        display = text;
      } else {
        status = kBadParameter;
      }
      break;
    case kCaptureFingerprint:
      captured = MakeFingerprintPicture(2);
      break;
    default:
      status = kUnknownCommand;
  }
  // The record shows the text only when it fits a record's form.
  const bool printable = text.size() <= 64 && text.find_first_of("|\r\n") == std::string::npos;
  lastCommand = {{"command", std::to_string(command)},
                 {"data", printable ? text : std::string()},
                 {"status", std::to_string(status)}};
  return status;
}

platform::scsi::Result DiskTerminal::OnCommand(const platform::scsi::Command& c, platform::scsi::Outcome* out) {
  namespace scsi = platform::scsi;
  std::lock_guard<std::mutex> lock(mutex_);
  commands.push_back({Bytes(c.cdb, c.cdb + c.cdbLength), c.direction, c.length});
  const auto checkCondition = [out](uint8_t asc) {
    out->status = 2;
    out->senseLength = 18;
    out->sense[0] = 0x70;
    out->sense[2] = 0x05;  // ILLEGAL REQUEST
    out->sense[7] = 10;
    out->sense[12] = asc;
    return scsi::Result::Ok;
  };
  if (c.cdb[0] == 0x12) {
    uint8_t data[36] = {0x00, 0x80, 0x04, 0x02, 31};
    const auto put = [&data](size_t offset, size_t size, const std::string& text) {
      std::memset(data + offset, ' ', size);
      std::memcpy(data + offset, text.data(), std::min(size, text.size()));
    };
    put(8, 8, identity.vendor);
    put(16, 16, identity.product);
    put(32, 4, identity.revision);
    const uint32_t n = std::min<uint32_t>({c.direction == scsi::Direction::In ? c.length : 0, c.cdb[4], sizeof data});
    if (n != 0) std::memcpy(c.data, data, n);
    out->transferred = n;
    return scsi::Result::Ok;
  }
  const bool vendor = c.cdb[0] == 0xFF && c.cdbLength == 16 && c.cdb[15] == 0xFF &&
                      std::memcmp(c.cdb + 5, "VENNICK417", 10) == 0 && GetU16(c.cdb + 2) == (c.length & 0xFFFF);
  if (!vendor) return checkCondition(c.cdb[0] == 0xFF ? 0x24 : 0x20);  // invalid field / opcode
  if (c.cdb[4] == 0x00 && c.direction == scsi::Direction::Out) {
    if (faults.failSend) return scsi::Result::Failed;
    const Bytes block(c.data, c.data + c.length);
    if (block.size() > 3 && c.cdb[1] != block[3]) return checkCondition(0x24);
    reply_ = firmware->Handle(block);
    replyCommand_ = block.size() > 3 ? block[3] : 0;
    if (faults.zeroStart) std::fill(reply_.begin(), reply_.begin() + std::min<size_t>(10, reply_.size()), 0);
    out->transferred = c.length;
    return scsi::Result::Ok;
  }
  if (c.cdb[4] == 0x80 && c.direction != scsi::Direction::Out) {
    if (faults.failReceive) return scsi::Result::Failed;
    if (reply_.empty() || c.cdb[1] != replyCommand_) return checkCondition(0x24);
    if (c.length != 0) {
      std::memset(c.data, 0, c.length);
      std::memcpy(c.data, reply_.data(), std::min<size_t>(c.length, reply_.size()));
    }
    reply_.clear();
    out->transferred = c.length;
    return scsi::Result::Ok;
  }
  return checkCondition(0x24);
}

platform::hid::Attributes HidTerminal::GetAttributes() {
  platform::hid::Attributes a;
  a.vendorId = 0x735F;
  a.productId = 0x542B;
  a.versionNumber = versionNumber;
  return a;
}

bool HidTerminal::OnOutputReport(const uint8_t* report, size_t size) {
  if (report == nullptr || size != 65) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (faults.failSend) return false;
  output_.emplace_back(report, report + size);
  pending_.insert(pending_.end(), report + 1, report + size);
  const std::optional<size_t> total = RequestSize(pending_);
  if (!total) return true;
  // The zeros after the block fill its last report; they go with it.
  Bytes reply = firmware->Handle(Bytes(pending_.begin(), pending_.begin() + static_cast<long>(*total)));
  pending_.clear();
  if (faults.zeroStart) std::fill(reply.begin(), reply.begin() + std::min<size_t>(10, reply.size()), 0);
  for (unsigned i = 0; i < faults.silentPolls; ++i) reports_.emplace_back(65, 0);
  for (size_t off = 0; off < reply.size(); off += 64) {
    Bytes r(65, 0);
    std::memcpy(r.data() + 1, reply.data() + off, std::min<size_t>(64, reply.size() - off));
    reports_.push_back(std::move(r));
  }
  cv_.notify_all();
  return true;
}

platform::hid::IoResult HidTerminal::OnOutputReportWithin(const uint8_t* report, size_t size, uint32_t timeoutMs) {
  if (faults.sendTimesOut) return platform::hid::IoResult::TimedOut;
  return VirtualDevice::OnOutputReportWithin(report, size, timeoutMs);
}

platform::hid::IoResult HidTerminal::OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !reports_.empty(); })) {
    return platform::hid::IoResult::TimedOut;
  }
  std::memcpy(report, reports_.front().data(), std::min<size_t>(size, 65));
  reports_.pop_front();
  return platform::hid::IoResult::Ok;
}

void HidTerminal::OnOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  reports_.clear();
  pending_.clear();
}

std::vector<Bytes> HidTerminal::OutputReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

ScopedTerminal::ScopedTerminal(Guise guise) : firmware(std::make_shared<TerminalFirmware>()) {
  platform::SetSimulationForTesting(true);
  platform::scsi::UnregisterAllVirtual();
  platform::hid::UnregisterAllVirtual();
  if (guise != Guise::kHid) {
    disk = std::make_shared<DiskTerminal>(firmware);
    platform::scsi::RegisterVirtual(disk);
  }
  if (guise != Guise::kDisk) {
    hid = std::make_shared<HidTerminal>(firmware);
    platform::hid::RegisterVirtual(hid);
  }
}

ScopedTerminal::~ScopedTerminal() {
  platform::scsi::UnregisterAllVirtual();
  platform::hid::UnregisterAllVirtual();
}

void InstallDefaultTerminal() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!platform::SimulationEnabled()) return;
    const char* choice = std::getenv("TARNWICK_SIM_TERMINAL");
    const std::string guise = choice != nullptr ? choice : "disk";
    auto firmware = std::make_shared<TerminalFirmware>();
    if (guise == "hid") {
      platform::hid::RegisterVirtual(std::make_shared<HidTerminal>(firmware));
    } else if (guise != "none") {
      platform::scsi::RegisterVirtual(std::make_shared<DiskTerminal>(firmware));
    }
  });
}

}  // namespace sim
