// The library's one instance per process: the open tablet and its reader thread, the events
// that carry commands' acknowledgements and the reader's stop, the packet ring and the window
// message. The exports are one-liners over it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "decode.h"
#include "models.h"
#include "platform/event.h"
#include "platform/hid.h"
#include "platform/thread.h"
#include "pmtablet.h"
#include "ring.h"
#include "status.h"

namespace tablet {

constexpr char kMessageName[] = "PM35USBDeviceMessage2011";
constexpr uint32_t kFallbackMessage = 0x7FEA;
constexpr int kMaxInterfaceIndex = 32;
constexpr uint32_t kWaitTimeout = 0x102;  // the wait result logged for a time-out

// Waits and pauses of the command sequences; tests shorten them.
struct Timing {
  uint32_t acknowledgementMs = 15000;
  uint32_t afterDiscoveryMs = 200;
  uint32_t afterAtopMs = 300;
  uint32_t beforeStopMs = 100;
  uint32_t afterStopMs = 300;
  uint32_t afterSerialMs = 100;
};

class Library {
 public:
  static Library& Instance();

  Status Init(TabletCaps* caps, uint32_t* message, void* window);
  Status GetSerial(TabletCaps* caps, uint32_t* message, void* window, uint8_t* serial);
  Status Close();
  Status ClearSig();
  bool PacketsGet(int32_t count, PenPacket* buffer);
  // The closing sequence when the library unloads.
  void Unload();

  bool DeviceOpen();
  void SetTimingForTesting(const Timing& timing) { timing_ = timing; }
  // Ends the reader thread and leaves the tablet open, as the end of a process does.
  void EndReaderForTesting();
  // The target window of the messages; null while none is set.
  void* TargetWindow();
  uint32_t MessageId() const { return messageId_; }
  PacketRing& Ring() { return ring_; }

 private:
  // The open tablet, shared with its reader thread; the last owner closes the handle.
  struct Open {
    std::shared_ptr<platform::hid::Device> device;
    const Model* model = nullptr;
    std::unique_ptr<platform::Thread> reader;
  };

  void LazyInitialise();
  // The open tablet, after forgetting one whose reader has ended; empty when none.
  std::shared_ptr<Open> Current();
  Status Discover(const char* failureText);
  Status OpenSteps(const char* failureText);
  Status SwitchOn(TabletCaps* caps, uint32_t* message, void* window, bool alwaysSetWindow);
  // Sends the command and waits for an acknowledgement. false when none came in time.
  bool Exchange(const Open& open, Command command, uint32_t* waitResult);
  bool Send(const Open& open, Command command, int key = 0);
  void ReaderThread(std::shared_ptr<platform::hid::Device> device, const Model* model);
  void Handle(const Decoded& d, platform::hid::Device& device, const Model& model, const uint8_t* report);
  void Announce(const Decoded& d);
  Status CloseSequence(bool unloading);

  std::mutex mutex_;  // the open-tablet slot and the target window
  std::shared_ptr<Open> open_;
  void* window_ = nullptr;

  bool initialised_ = false;
  uint32_t messageId_ = kFallbackMessage;
  std::unique_ptr<platform::Event> acknowledgement_;
  std::unique_ptr<platform::Event> stop_;
  PacketRing ring_;
  std::mutex responseMutex_;
  uint8_t lastResponse_[kInputReportLength] = {};
  Timing timing_;
};

}  // namespace tablet
