// The capture program: a hidden window whose procedure turns the tablet library's messages into
// strokes on the canvas, and the command thread Thread_Pemrik, which serves one TCP connection
// on 127.0.0.1:45654 (zero-terminated words, each carried out in order): "Init", "Close",
// "GetSign", "Clear", "Confirm", "Quit". Only "GetSign" (the Base64 text of the canvas's PNG)
// and "Confirm" ("1" or "0") are answered.
//
// Words for the pen's path (strokes.h), answered with the text of FormatSlice, which ends in a
// line holding a lone dot; they leave the confirmed flag as it is:
//   "GetPoints <index>"  at most kPointsPerReply points from that index on (decimal), so that
//                        the service can follow the pen while the person signs;
//   "GetStrokes"         the whole record.
// Words for the simulated tablet, answered "1" when carried out and "0" when simulation is off
// or no simulated tablet is there:
//   "SimConfirm"  the tablet sends its confirm key, which takes the real packet path;
//   "SimUnplug", "SimReplug"  the tablet is pulled out, or plugged in again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "canvas.h"
#include "platform/message.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "tablet_binding.h"

namespace capture {

constexpr uint16_t kCommandPort = 45654;
constexpr size_t kCommandBufferSize = 256;
constexpr char kLogFile[] = "PemrikProcessor.txt";
constexpr size_t kPointsPerReply = 4096;
constexpr size_t kWholeRecordPoints = StrokeRecord::kDefaultLimit;

class Processor {
 public:
  // Binds the tablet library's five entry points: the program loads the library file; tests
  // hand in the library's objects linked into them.
  using Binder = std::function<bool(TabletApi*)>;
  explicit Processor(Binder bind);
  ~Processor();
  Processor(const Processor&) = delete;
  Processor& operator=(const Processor&) = delete;

  // The whole program: start-up, the message loop, the end; the exit code.
  int Run();

  Canvas& canvas() { return canvas_; }
  // Called on the window thread after each pen packet was drawn (benchmarks time it).
  void SetDrawnObserver(std::function<void(const PenPacket&)> observer) { drawn_ = std::move(observer); }
  // The main window once Run has made it; null before.
  platform::message::WindowHandle Window() const { return window_ ? window_->Handle() : nullptr; }

 private:
  bool WindowProcedure(const platform::message::Message& m);
  void OnTabletMessage();
  void CloseEverything();
  void ThreadPemrik();
  // Carries out the complete words at the front of `pending` and removes them; false when the
  // thread is to stop reading.
  bool ExecuteWords(std::string* pending);
  // One word; false when the thread is to stop reading.
  bool Execute(const std::string& word);
  void GetSign();
  void Confirm();
  // "GetPoints <index>" and "GetStrokes"; false when the word is neither.
  bool SendPoints(const std::string& word);
  // The simulation words; false when the word is none of them.
  bool SteerSimulatedTablet(const std::string& word);
  uint32_t MsSinceRecordStart() const;

  Binder bind_;
  std::function<void(const PenPacket&)> drawn_;
  TabletApi api_;
  Canvas canvas_;
  std::unique_ptr<platform::message::MessageWindow> window_;
  std::unique_ptr<platform::Thread> commandThread_;
  std::atomic<uint32_t> messageId_{0};
  std::atomic<int32_t> confirmed_{0};
  // When the pen's path began (the last "Init", else the start), in steady-clock ticks.
  std::atomic<int64_t> recordStart_;
  std::atomic<platform::Socket> listening_{platform::kNoSocket};
  std::atomic<platform::Socket> connected_{platform::kNoSocket};
};

// The program's entry: the real tablet library.
int Main();

}  // namespace capture
