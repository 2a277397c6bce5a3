#include "library.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/message.h"
#include "tablet_log.h"

namespace tablet {
namespace {

void Pause(uint32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// Only the older two models are worth a log line when they cannot be opened.
bool IsLoggedTabletPath(const std::string& path) {
  const std::string p = Lower(path);
  return p.find("hid#vid_0b57&pid_8420") != std::string::npos || p.find("hid#vid_0b57&pid_8421") != std::string::npos;
}

void CloseDevice(platform::hid::Device* device) { platform::hid::Close(device); }

// A failed feature report is only logged.
bool SendReport(platform::hid::Device& device, const CommandReport& report, Command command) {
  if (report.size == 0) return false;
  if (device.SetFeature(report.bytes, report.size)) return true;
  if (log::Enabled()) {
    char text[64];
    std::snprintf(text, sizeof text, "cmdtype: %d, err is: %d\n", static_cast<int>(command),
                  static_cast<int>(platform::hid::LastError()));
    log::Write(text);
  }
  return false;
}

}  // namespace

Library& Library::Instance() {
  // Never destroyed: the reader thread may still run while the process exits.
  static Library* library = new Library;
  return *library;
}

void Library::LazyInitialise() {
  if (initialised_) return;
  const uint32_t id = platform::message::RegisterMessage(kMessageName);
  messageId_ = id != 0 ? id : kFallbackMessage;
  stop_ = platform::Event::CreateAutoReset();
  acknowledgement_ = platform::Event::CreateAutoReset();
  ring_.Clear();
  ring_.OpenLock();
  initialised_ = stop_ != nullptr && acknowledgement_ != nullptr;
}

std::shared_ptr<Library::Open> Library::Current() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A tablet whose reader has ended can tell us nothing any more: it counts as gone.
  if (open_ && !(open_->reader && open_->reader->Running())) open_.reset();
  return open_;
}

bool Library::DeviceOpen() { return Current() != nullptr; }

void* Library::TargetWindow() {
  std::lock_guard<std::mutex> lock(mutex_);
  return window_;
}

Status Library::Discover(const char* failureText) {
  for (int index = 0; index <= kMaxInterfaceIndex; ++index) {
    std::string path;
    if (!platform::hid::DevicePathAt(index, &path)) continue;
    platform::hid::Device* raw = platform::hid::Open(path);
    if (raw == nullptr) {
      if (log::Enabled() && IsLoggedTabletPath(path)) log::Write("Failed to open device", platform::hid::LastError());
      continue;
    }
    std::shared_ptr<platform::hid::Device> device(raw, CloseDevice);
    platform::hid::Attributes attributes;
    platform::hid::Caps caps;
    if (!device->GetAttributes(&attributes) || !device->GetCaps(&caps)) continue;
    if (caps.usagePage == 1 && caps.usage == 2) continue;  // a mouse
    const Model* model = FindModel(attributes.vendorId, attributes.productId, caps.inputReportLength);
    if (model == nullptr) continue;

    auto open = std::make_shared<Open>();
    open->device = device;
    open->model = model;
    open->reader = platform::Thread::Start([this, device, model] { ReaderThread(device, model); });
    if (!open->reader) break;  // the device closes with its last owner
    open->reader->SetTimeCritical();
    Pause(timing_.afterDiscoveryMs);
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = std::move(open);
    return Status::kOk;
  }
  log::Write(failureText);
  return Status::kNoTablet;
}

// Steps 1 to 3 of PMInit: initialised, a tablet open, events and ring fresh.
Status Library::OpenSteps(const char* failureText) {
  LazyInitialise();
  if (!initialised_) return Status::kNoTablet;
  if (!Current()) {
    const Status s = Discover(failureText);
    if (s != Status::kOk) return s;
  }
  stop_->Reset();
  acknowledgement_->Reset();
  ring_.Clear();
  return Status::kOk;
}

// Steps 4 and 5 of PMInit: ATOP, then the caller's record, message id and window.
Status Library::SwitchOn(TabletCaps* caps, uint32_t* message, void* window, bool alwaysSetWindow) {
  const std::shared_ptr<Open> open = Current();
  if (!open) return Status::kNoTablet;
  uint32_t waitResult = 0;
  if (!Exchange(*open, Command::kAtop, &waitResult)) {
    log::Write("Failed to ATOP", waitResult);
    return Status::kNoAcknowledgement;
  }
  Pause(timing_.afterAtopMs);
  if (caps != nullptr) {
    caps->vendorId = kVendorId;
    caps->productId = open->model->productId;
    caps->xExtent = open->model->xExtent;
    caps->yExtent = open->model->yExtent;
    caps->pressureLevels = kPressureLevels;
    caps->reserved = 0;
  }
  if (message != nullptr) *message = messageId_;
  if (window != nullptr || alwaysSetWindow) {
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = window;
  }
  return Status::kOk;
}

Status Library::Init(TabletCaps* caps, uint32_t* message, void* window) {
  const Status s = OpenSteps("Failed to Find device");
  if (s != Status::kOk) return s;
  return SwitchOn(caps, message, window, false);
}

Status Library::GetSerial(TabletCaps* caps, uint32_t* message, void* window, uint8_t* serial) {
  const Status s = OpenSteps("Failed to open device");
  if (s != Status::kOk) return s;
  const std::shared_ptr<Open> open = Current();
  if (!open) return Status::kNoTablet;
  if (open->model->deviceType != 3) {
    uint32_t waitResult = 0;
    if (!Exchange(*open, Command::kReadSerial, &waitResult)) {
      log::Write("Failed to get serial", waitResult);
      return Status::kNoSerialReply;
    }
    if (serial != nullptr) {
      std::lock_guard<std::mutex> lock(responseMutex_);
      std::memcpy(serial, lastResponse_, sizeof lastResponse_);
    }
  }
  Pause(timing_.afterSerialMs);
  return SwitchOn(caps, message, window, true);
}

Status Library::Close() {
  if (!Current()) return Status::kNoTablet;
  return CloseSequence(false);
}

void Library::Unload() { CloseSequence(true); }

Status Library::CloseSequence(bool unloading) {
  std::shared_ptr<Open> open;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open = open_;
  }
  if (!open) return Status::kNoTablet;
  const auto forget = [this, &open] {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ == open) open_.reset();
  };
  // Without its reader nothing can acknowledge: switch the tablet back as far as it listens,
  // and close it instead of waiting (a process that exits has ended the reader already).
  if (!(open->reader && open->reader->Running())) {
    if (unloading) Send(*open, Command::kPtoa);
    forget();
    return Status::kNoAcknowledgement;
  }
  uint32_t waitResult = 0;
  if (!Exchange(*open, Command::kPtoa, &waitResult)) {
    log::Write("Failed to PTOA", waitResult);
    return Status::kNoAcknowledgement;
  }
  Pause(timing_.beforeStopMs);
  stop_->Set();
  const platform::WaitResult ended = acknowledgement_->Wait(timing_.acknowledgementMs);
  if (ended != platform::WaitResult::Signalled) {
    log::Write("Failed to exit", ended == platform::WaitResult::Timeout ? kWaitTimeout : 0xFFFFFFFFu);
    return Status::kNoAcknowledgement;
  }
  Pause(timing_.afterStopMs);
  forget();
  return Status::kOk;
}

void Library::EndReaderForTesting() {
  std::shared_ptr<Open> open;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open = open_;
  }
  if (!open || !stop_) return;
  stop_->Set();
  if (open->reader) open->reader->Join(10000);
}

Status Library::ClearSig() {
  const std::shared_ptr<Open> open = Current();
  if (!open) return Status::kNoTablet;
  if (initialised_) ring_.Clear();
  uint32_t waitResult = 0;
  if (!Exchange(*open, Command::kClearScreen, &waitResult)) {
    log::Write("Failed to Clear Device Screen", waitResult);
    return Status::kNoAcknowledgement;
  }
  return Status::kOk;
}

bool Library::PacketsGet(int32_t count, PenPacket* buffer) {
  if (buffer == nullptr || count <= 0 || !Current()) return false;
  const size_t most = SIZE_MAX / sizeof(PenPacket);
  std::memset(buffer, 0, std::min<size_t>(static_cast<size_t>(count), most) * sizeof(PenPacket));
  return ring_.Take(buffer);
}

bool Library::Send(const Open& open, Command command, int key) {
  return SendReport(*open.device, MakeCommand(*open.model, command, key), command);
}

bool Library::Exchange(const Open& open, Command command, uint32_t* waitResult) {
  // A failed send is only logged; the wait then runs out, as the tablet never answers.
  Send(open, command);
  switch (acknowledgement_->Wait(timing_.acknowledgementMs)) {
    case platform::WaitResult::Signalled:
      *waitResult = 0;
      return true;
    case platform::WaitResult::Timeout:
      *waitResult = kWaitTimeout;
      return false;
    default:
      *waitResult = 0xFFFFFFFFu;
      return false;
  }
}

void Library::ReaderThread(std::shared_ptr<platform::hid::Device> device, const Model* model) {
  Decoder decoder(*model);
  uint8_t report[kInputReportLength];
  for (;;) {
    size_t received = 0;
    switch (device->ReadOrStop(report, sizeof report, &received, *stop_)) {
      case platform::hid::IoResult::Ok:
        if (received == kInputReportLength) Handle(decoder.Decode(report), *device, *model, report);
        break;
      case platform::hid::IoResult::Stopped:
        acknowledgement_->Set();
        return;
      default: {
        log::Write("Device is removal", platform::hid::LastError());
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_ && open_->device == device) open_.reset();
        return;  // the last owner of the device closes it
      }
    }
  }
}

void Library::Handle(const Decoded& d, platform::hid::Device& device, const Model& model, const uint8_t* report) {
  if (d.serialReply) {
    std::lock_guard<std::mutex> lock(responseMutex_);
    std::memcpy(lastResponse_, report, sizeof lastResponse_);
  }
  if (d.acknowledgement) acknowledgement_->Set();
  const auto acknowledgeKey = [&] {
    SendReport(device, MakeCommand(model, Command::kAcknowledgeKey, d.keyToAcknowledge), Command::kAcknowledgeKey);
  };
  if (d.keyToAcknowledge != 0 && d.acknowledgeKeyFirst) acknowledgeKey();
  if (d.hasPacket) Announce(d);
  if (d.keyToAcknowledge != 0 && !d.acknowledgeKeyFirst) acknowledgeKey();
}

void Library::Announce(const Decoded& d) {
  ring_.Put(d.packet);
  void* window = TargetWindow();
  platform::message::Post(window != nullptr ? window : platform::message::kBroadcast, messageId_, d.wParam,
                          static_cast<intptr_t>(d.lParam));
}

}  // namespace tablet
