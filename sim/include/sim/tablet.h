// A simulated signature tablet of one of the three models. Its firmware takes the command
// feature reports (ATOP, PTOA, clear, serial, key acknowledgements) and answers with
// acknowledgement and serial reports; after ATOP it plays a scripted signature (a made-up
// flourish with pressure, about two seconds of strokes at 200 reports a second) and presses keys
// as its script says. It sits behind a virtual HID device and a virtual USB tree, so the
// library's real code runs above it. Tests steer it: raw reports, key presses, points to play,
// no acknowledgements, short reads, reports with another ID, an unplug during a read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid_virtual.h"
#include "platform/usbtree_virtual.h"

namespace sim {

using Report = std::vector<uint8_t>;

constexpr uint16_t kTabletVendorId = 0x0B57;
constexpr int kConfirmKey = 17;
constexpr int kClearKey = 18;

// The product id of device type 1, 2 or 3.
uint16_t TabletProductId(int deviceType);

// A point of a pen's path: x and y over the writing area (0..1 each, y downwards), pressure
// 0..1023 (0: the pen is lifted and hovers).
struct PenPoint {
  double x;
  double y;
  int pressure;
};

// The made-up signature: three strokes with hover moves between them.
std::vector<PenPoint> SignatureScript();
constexpr std::chrono::microseconds kReportInterval{5000};
// The script's "sign" starts this long after the switch into pen mode.
constexpr std::chrono::milliseconds kPenUpLead{600};

struct TabletFaults {
  bool silent = false;          // acknowledges nothing, sends no serial number
  bool shortReads = false;      // input reports arrive cut to 5 bytes
  bool otherReportId = false;   // input reports carry ID 3 instead of 2
  int unplugAfterReports = -1;  // unplugged by the read that follows this many delivered reports
};

class SimTablet : public platform::hid::VirtualDevice, public std::enable_shared_from_this<SimTablet> {
 public:
  explicit SimTablet(int deviceType = 1);
  ~SimTablet() override;

  // Plugs the tablet in: a virtual HID device, and a root hub with the tablet on its port.
  void Attach();
  // Pulls it out: every read waiting on it fails, later calls on its handles fail.
  void Unplug();

  platform::hid::Attributes GetAttributes() override;
  std::vector<uint8_t> ReportDescriptor() override;
  bool OnOutputReport(const uint8_t* report, size_t size) override;
  bool OnFeatureReport(const uint8_t* report, size_t size) override;
  platform::hid::IoResult OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) override;
  platform::hid::IoResult OnInputReportOrStop(uint8_t* report, size_t size, size_t* received,
                                              platform::Event& stop) override;
  void OnOpen() override;

  // An input report as it is (8 bytes, ID first).
  void QueueReport(const Report& report);
  // The model's report of a pen point: contact (0xA1) when pressing, else hover (0xB0).
  Report PenReport(const PenPoint& p, uint8_t status = 0) const;
  // The model's key report (17 confirm, 18 clear).
  Report KeyReport(int key) const;
  void PressKey(int key);
  // Plays the points as reports, one per interval, on a thread of the tablet's; a stroke ends
  // with a lift report, the last point with the out-of-range report. Replaces what plays.
  void Play(std::vector<PenPoint> points, std::chrono::microseconds interval = kReportInterval);
  // Blocks until the script or playback started last has ended (at most timeoutMs).
  bool WaitIdle(uint32_t timeoutMs);

  // What ATOP starts: steps "sign", "sign=<n>" (n signatures, about 2 s each), "confirm",
  // "clear", "wait=<ms>" in order (default: the
  // TARNWICK_SIM_TABLET list, else "sign,confirm").
  std::vector<std::string> script;
  TabletFaults faults;
  // The serial number reply's six data bytes.
  uint8_t serial[6] = {'T', 'W', '0', '0', '4', '2'};

  int deviceType() const { return deviceType_; }
  std::vector<Report> FeatureReports();
  size_t PendingReports();
  // Input reads that ended with a report, for tests and benchmarks.
  uint64_t ReportsDelivered();
  // Handles opened on it.
  int Opens();
  bool InPenMode();

 private:
  void Queue(Report report);                              // caller holds mutex_
  void Acknowledge(const uint8_t* command, size_t size);  // caller holds mutex_
  void StartScript(std::vector<std::string> steps, std::vector<PenPoint> points, std::chrono::microseconds interval);
  void StopScript();
  void RunScript(std::vector<std::string> steps, std::vector<PenPoint> points, std::chrono::microseconds interval);
  bool Sleep(std::chrono::steady_clock::time_point until);                          // false when the script was stopped
  platform::hid::IoResult Deliver(uint8_t* report, size_t size, size_t* received);  // caller holds mutex_
  bool UnplugDue() const;  // caller holds mutex_; faults.unplugAfterReports reached

  const int deviceType_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Report> reports_;
  std::vector<Report> features_;
  bool unplugged_ = false;
  bool penMode_ = false;
  uint64_t delivered_ = 0;
  int opens_ = 0;
  std::shared_ptr<const platform::usbtree::VirtualDevice> rootHub_;

  // The script thread.
  std::mutex scriptMutex_;  // held while a script is started or stopped
  std::thread scriptThread_;
  std::condition_variable scriptCv_;  // with mutex_
  bool scriptStop_ = false;           // under mutex_
  bool scriptRunning_ = false;        // under mutex_
};

// Simulation switched on and a fresh simulated tablet as the only virtual HID device and USB
// tree; undone when it goes out of scope. For tests and benchmarks.
class ScopedTablet {
 public:
  explicit ScopedTablet(int deviceType = 1);
  ~ScopedTablet();
  ScopedTablet(const ScopedTablet&) = delete;
  ScopedTablet& operator=(const ScopedTablet&) = delete;

  std::shared_ptr<SimTablet> tablet;
};

// With simulation on and no simulated tablet present yet: one tablet of the model that
// TARNWICK_SIM_TABLET_MODEL names (1, 2 or 3; 1 by default).
void InstallDefaultTablet();

// Steering the simulated tablet from the program that loaded the tablet library. The library
// holds its own copy of the simulation, so the program offers a slot under a C name that it
// exports (kTabletSlotName: a function taking a TabletControl), and the tablet, once made,
// hands its control function to that slot. A program without the slot cannot steer it.
enum class TabletAction : int { PressConfirm = 1, Unplug = 2, Replug = 3 };
// 1 when done; 0 when no simulated tablet is announced.
using TabletControl = int (*)(int action);
using TabletSlot = void (*)(TabletControl control);
constexpr char kTabletSlotName[] = "tw_sim_tablet_slot";
// Hands `tablet` (null: none any more) to the running program's slot, when it has one.
void AnnounceTablet(const std::shared_ptr<SimTablet>& tablet);

}  // namespace sim
