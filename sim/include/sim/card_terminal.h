// A simulated driving-training card terminal. Its firmware takes request blocks and gives reply
// blocks (sim/terminal_blocks.h) and holds a made-up training card; the same firmware sits
// behind a virtual SCSI disk (vendor commands) and behind a virtual HID device, so the transfer
// library's real code runs above it. Tests steer it: another identity, no reply for some polls,
// a reply that starts with ten zero bytes, failed sends and reads, an unplug.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid_virtual.h"
#include "platform/scsi_virtual.h"
#include "sim/recent_requests.h"
#include "sim/terminal_blocks.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

// One record: named fields in order. Its text is "type=T|index=I|name=value|...".
using Fields = std::vector<std::pair<std::string, std::string>>;

constexpr int kFingerprintWidth = 152;
constexpr int kFingerprintHeight = 200;
// A made-up fingerprint picture, one grey byte per pixel, top row first; `variant` picks one
// of several.
Bytes MakeFingerprintPicture(int variant);

// Struct types of the records.
enum RecordType : uint16_t {
  kStatusRecord = 0,       // command area: the terminal's state
  kHolderRecord = 1,       // card: the trainee; command area: the last command
  kSessionRecord = 2,      // card and terminal: training sessions
  kTotalRecord = 3,        // card: minutes per training subject
  kFingerprintRecord = 4,  // card: enrolled fingers; terminal: the last capture
};
constexpr size_t kMaxRecordText = 256;
constexpr size_t kMaxRecords = 200;

struct TrainingCard {
  bool present = true;
  std::map<uint16_t, std::vector<Fields>> records;  // holder, sessions, totals
  std::vector<Bytes> fingerprints;                  // per finger, 152 x 200 pixels
};
TrainingCard MakeSampleTrainingCard();

// Commands of the command block.
enum TerminalCommand : uint16_t {
  kSetClock = 1,            // text: YYYYMMDDhhmmss
  kShowText = 2,            // text: up to 64 bytes, shown on the display
  kCaptureFingerprint = 3,  // the sensor takes a finger; the terminal area's fingerprint record
};

class TerminalFirmware {
 public:
  TerminalFirmware();
  // The reply block to one request block, as long as the request asked for.
  Bytes Handle(const Bytes& request);

  bool opened = false;
  uint16_t cardPort = 0;
  uint16_t devicePort = 0;
  TrainingCard card;
  std::vector<Fields> sessions;  // the terminal's own session log
  Bytes captured;                // the last fingerprint the sensor took
  std::string clock = "20260302080000";
  std::string display;
  Fields lastCommand;
  RecentRequests requests;  // the latest request blocks seen, for tests

 private:
  blocks::Reply Execute(const blocks::Request& request);
  uint8_t Read(const Bytes& payload, Bytes* out);
  uint8_t Write(const Bytes& payload);
  uint8_t Command(const Bytes& payload);
};

// How the link in front of the firmware misbehaves.
struct TerminalFaults {
  unsigned silentPolls = 0;   // HID: that many all-zero reports before each reply
  bool zeroStart = false;     // the reply's first ten bytes are zero
  bool failSend = false;      // the host's request does not go out
  bool sendTimesOut = false;  // HID: reports are not taken within the host's time-out
  bool failReceive = false;   // disk: reading the reply fails
};

struct TerminalIdentity {
  std::string vendor = "Vennick";
  std::string product = "QRM-417B";
  std::string revision = "1.00";
};

class DiskTerminal : public platform::scsi::VirtualTarget, public std::enable_shared_from_this<DiskTerminal> {
 public:
  explicit DiskTerminal(std::shared_ptr<TerminalFirmware> f) : firmware(std::move(f)) {}
  platform::scsi::Result OnCommand(const platform::scsi::Command& command, platform::scsi::Outcome* outcome) override;
  void Unplug() { platform::scsi::UnregisterVirtual(shared_from_this()); }

  // A command as the terminal saw it, for tests.
  struct Seen {
    Bytes cdb;
    platform::scsi::Direction direction;
    uint32_t length;
  };

  std::shared_ptr<TerminalFirmware> firmware;
  TerminalIdentity identity;
  TerminalFaults faults;
  std::vector<Seen> commands;

 private:
  std::mutex mutex_;
  Bytes reply_;
  uint8_t replyCommand_ = 0;
};

class HidTerminal : public platform::hid::VirtualDevice, public std::enable_shared_from_this<HidTerminal> {
 public:
  explicit HidTerminal(std::shared_ptr<TerminalFirmware> f) : firmware(std::move(f)) {}
  platform::hid::Attributes GetAttributes() override;
  bool OnOutputReport(const uint8_t* report, size_t size) override;
  platform::hid::IoResult OnOutputReportWithin(const uint8_t* report, size_t size, uint32_t timeoutMs) override;
  platform::hid::IoResult OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) override;
  void OnOpen() override;
  void Unplug() { platform::hid::UnregisterVirtual(shared_from_this()); }
  std::vector<Bytes> OutputReports();

  std::shared_ptr<TerminalFirmware> firmware;
  uint16_t versionNumber = 0x0111;
  TerminalFaults faults;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  Bytes pending_;
  std::deque<Bytes> reports_;
  std::vector<Bytes> output_;
};

enum class Guise { kDisk, kHid, kBoth };

// Simulation switched on and a fresh terminal in place of every virtual disk and HID device;
// undone when it goes out of scope. For tests and benchmarks.
class ScopedTerminal {
 public:
  explicit ScopedTerminal(Guise guise = Guise::kDisk);
  ~ScopedTerminal();
  ScopedTerminal(const ScopedTerminal&) = delete;
  ScopedTerminal& operator=(const ScopedTerminal&) = delete;

  std::shared_ptr<TerminalFirmware> firmware;
  std::shared_ptr<DiskTerminal> disk;  // null without the disk guise
  std::shared_ptr<HidTerminal> hid;    // null without the HID guise
};

// With simulation on: one terminal, as a disk unless TARNWICK_SIM_TERMINAL says "hid" (or
// "none"). Once per process.
void InstallDefaultTerminal();

}  // namespace sim
