// A simulated ID-card reader. Its firmware reads request frames and writes reply frames; the
// same firmware sits behind a virtual HID device (vendor 0x2796) and behind virtual serial
// links, so the library's real transport code runs above it. Tests steer it: another SW3, a
// reply replaced by raw bytes, zero reports before the reply, a delay, no answer, an unplug.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid_virtual.h"
#include "platform/serial_virtual.h"
#include "sim/device_model.h"
#include "sim/recent_requests.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

// Reply frame: preamble, length, SW1 SW2 SW3, data, XOR checksum.
Bytes MakeReply(uint8_t sw1, uint8_t sw2, uint8_t sw3, const Bytes& data);

// A made-up resident ID card (no real person's data) and what the reader knows of it.
struct SampleCard {
  Bytes text;         // 256 bytes, UTF-16LE fields padded with blanks
  Bytes photo;        // 1024 bytes
  Bytes fingerprint;  // 1024 bytes, or none
  Bytes newAddress;   // the additional-address block
  Bytes cardNumber;   // 8 bytes
  Bytes uid;          // 4 bytes
};
SampleCard MakeSampleCard();
// The text block from its fields, each padded with blanks to its slot.
Bytes MakeTextBlock(const std::u16string& name, const std::u16string& sex, const std::u16string& nation,
                    const std::u16string& birth, const std::u16string& address, const std::u16string& idNumber,
                    const std::u16string& authority, const std::u16string& validFrom, const std::u16string& validTo);

class ReaderFirmware {
 public:
  ReaderFirmware();
  // The reply to one complete request frame; empty when the reader stays silent.
  Bytes Handle(const Bytes& request);

  // Set by the simulation's control while the host's calls read it.
  std::atomic<bool> cardPresent{true};
  SampleCard card;
  Bytes samId;        // 16 bytes
  Bytes mngInfo;      // 28 bytes
  Bytes psamAtr;      // answer to a PSAM reset
  Bytes typeAMemory;  // 128 blocks of 16 bytes
  Bytes typeAKey;     // 6 bytes, the same for every key parameter
  // Answers the management commands (0x80 with a parameter it handles).
  DeviceModel device;

  // Every reply carries this SW3 instead (-1: the firmware's own).
  int forcedSw3 = -1;
  // The reply to one command (command << 8 | parameter) carries this SW3 instead, no data.
  std::map<uint16_t, int> sw3For;
  // Replies to the next requests, taken in order instead of the firmware's own.
  std::deque<Bytes> scriptedReplies;
  // The latest requests seen, for tests.
  RecentRequests requests;

 private:
  // `echo`: the SW1 of the firmware's own answers.
  DeviceReply Answer(uint8_t command, uint8_t parameter, uint8_t echo, const Bytes& data);
  // The contactless memory card's commands (0x80 0x08-0x0E, 0x3B-0x3E); returns SW3.
  uint8_t TypeACard(uint8_t parameter, const Bytes& data, Bytes* out);
};

// Behaviour of the link in front of the firmware.
struct LinkFaults {
  bool silent = false;             // never answers
  bool failWrites = false;         // the host's writes fail
  unsigned zeroReports = 0;        // HID: all-zero input reports before the reply
  uint8_t zeroReportLastByte = 0;  // HID: ... but for their last payload byte
  unsigned staleReports = 0;       // HID: a reply is sent this many times more; the copies wait unread
  uint32_t delayMs = 0;            // wait before the reply becomes readable
  int unplugAfterReports = -1;     // HID: unplug after this many input reports were read
};

// Collects request bytes until a whole frame is in (preamble, length, that many bytes).
class FrameAssembler {
 public:
  // Appends bytes; returns true and fills `frame` once a frame is complete.
  bool Add(const uint8_t* data, size_t size, Bytes* frame);
  void Clear() { pending_.clear(); }

 private:
  Bytes pending_;
};

class HidReader : public platform::hid::VirtualDevice, public std::enable_shared_from_this<HidReader> {
 public:
  explicit HidReader(uint16_t productId = 0x1001) : productId_(productId) {}
  platform::hid::Attributes GetAttributes() override;
  bool OnOutputReport(const uint8_t* report, size_t size) override;
  platform::hid::IoResult OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) override;
  void OnOpen() override;
  void OnFlushInput() override;
  // Input reports queued for the host and not read yet.
  size_t PendingReports();

  ReaderFirmware firmware;
  LinkFaults faults;
  unsigned outputReports = 0;
  // What each read for an input report was allowed to wait, for tests.
  std::vector<uint32_t> inputTimeouts;

 private:
  uint16_t productId_;
  std::mutex mutex_;
  std::condition_variable cv_;
  FrameAssembler assembler_;
  std::deque<Bytes> reports_;
  std::chrono::steady_clock::time_point readyAt_{};
  int reportsRead_ = 0;
};

class SerialReader : public platform::serial::VirtualLink {
 public:
  bool OnWrite(const uint8_t* data, size_t size) override;
  long OnRead(uint8_t* data, size_t size, uint32_t timeoutMs) override;
  void OnPurge() override;

  ReaderFirmware firmware;
  LinkFaults faults;
  // Sizes the host asked for and what it let each read wait, read by read, for tests.
  std::vector<size_t> readSizes;
  std::vector<uint32_t> readTimeouts;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  FrameAssembler assembler_;
  Bytes out_;
  std::chrono::steady_clock::time_point readyAt_{};
};

// Simulation switched on and a fresh simulated reader on HID in place of every registered
// device, plus one on COM `comPort` when it is not 0; undone when it goes out of scope. For
// tests and benchmarks.
class ScopedReaders {
 public:
  explicit ScopedReaders(int comPort = 0);
  ~ScopedReaders();
  ScopedReaders(const ScopedReaders&) = delete;
  ScopedReaders& operator=(const ScopedReaders&) = delete;

  std::shared_ptr<HidReader> hid;
  std::shared_ptr<SerialReader> serial;

 private:
  int comPort_;
};

// Whether TARNWICK_SIM_READERS (a comma-separated list, "own" when unset) names the family:
// "own" for this system's readers, "jl" for the second family's.
bool SimulatedFamily(const char* family);
// With simulation on, "own" readers asked for and no virtual reader present yet: one HID reader
// and a reader on COM1.
void InstallDefaultReaders();
// Steers the readers InstallDefaultReaders put in place: "card" 1/0 places or takes the card
// on every one of them, "plugged" 1/0 attaches or detaches them. False for another setting, or
// when there are none.
bool ControlDefaultReaders(const char* setting, int value);

}  // namespace sim
