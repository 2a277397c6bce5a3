#include "processor.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/sim.h"
#include "resource.h"
#include "sim/tablet.h"
#include "tw/log.h"

namespace capture {
namespace {

constexpr int kKeyConfirm = 17;
constexpr int kKeyClear = 18;
constexpr uint32_t kCommandJoinMs = 2000;

// Records of the command thread carry its name, whatever helper writes them.
#define LOG_COMMAND(severity, ...) TW_LOG_AS("Thread_Pemrik", ::tw::log::Severity::severity, __VA_ARGS__)
#define LOG_MAIN(severity, ...) TW_LOG_AS("wWinMain", ::tw::log::Severity::severity, __VA_ARGS__)

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() /
         1000.0;
}

std::atomic<sim::TabletControl> g_simulatedTablet{nullptr};

int64_t Ticks() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// "GetPoints " and 1 to 20 digits: the index, or UINT64_MAX past it; false for anything else.
bool PointsIndex(const std::string& word, uint64_t* index) {
  static const std::string kPrefix = "GetPoints ";
  if (word.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const std::string digits = word.substr(kPrefix.size());
  if (digits.empty() || digits.size() > 20 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long v = std::strtoull(digits.c_str(), nullptr, 10);
  *index = errno == ERANGE ? UINT64_MAX : static_cast<uint64_t>(v);
  return true;
}

}  // namespace
}  // namespace capture

// The tablet library's simulated tablet hands its controls here (sim::AnnounceTablet): the
// library has its own copy of the simulation, which this program cannot reach otherwise.
#if defined(_WIN32)
extern "C" __declspec(dllexport) void tw_sim_tablet_slot(sim::TabletControl control);
#else
extern "C" __attribute__((visibility("default"))) void tw_sim_tablet_slot(sim::TabletControl control);
#endif
void tw_sim_tablet_slot(sim::TabletControl control) { capture::g_simulatedTablet = control; }

namespace capture {

Processor::Processor(Binder bind) : bind_(std::move(bind)), recordStart_(Ticks()) {}

Processor::~Processor() = default;

int Processor::Run() {
  platform::message::WindowOptions options;
  options.titleId = IDS_APP_TITLE;
  options.title = "PemrikProcessor";
  options.classNameId = IDC_PEMRIKPROCESSOR;
  options.className = "PEMRIKPROCESSOR";
  options.iconId = IDI_PEMRIKPROCESSOR;
  options.menuId = IDC_PEMRIKPROCESSOR;
  options.acceleratorsId = IDC_PEMRIKPROCESSOR;
  platform::message::MessageWindow::Failure failure;
  window_ = platform::message::MessageWindow::Create(
      options, [this](const platform::message::Message& m) { return WindowProcedure(m); }, &failure);
  if (!window_) {
    platform::ShowMessageBox(
        failure == platform::message::MessageWindow::Failure::ClassRegistration
            ? "\xE6\xB3\xA8\xE5\x86\x8C\xE7\xAA\x97\xE5\x8F\xA3\xE7\xB1\xBB\xE5\xA4\xB1\xE8\xB4\xA5!"
            : "\xE5\x88\x9B\xE5\xBB\xBA\xE7\xAA\x97\xE5\x8F\xA3\xE5\xA4\xB1\xE8\xB4\xA5!",
        "\xE9\x94\x99\xE8\xAF\xAF", platform::MessageBoxIcon::Error);
    return 0;
  }

  tw::log::Init(kLogFile, tw::log::Severity::Debug);
  LOG_MAIN(Info, "enter!");

  if (!bind_(&api_)) {
    LOG_MAIN(Error, "PMTablet: {}", platform::DynLibError());
    return 0;
  }
  if (api_.getStatus() != 0) {
    LOG_MAIN(Error, "{}", platform::LogText("\xE8\xAE\xBE\xE5\xA4\x87\xE6\x9C\xAA\xE8\xBF\x9E\xE6\x8E\xA5!"));
    return 0;
  }

  commandThread_ = platform::Thread::Start([this] { ThreadPemrik(); });
  const int code = window_->Run();

  CloseEverything();
  // The command thread ends on the closed sockets; a message box may hold it, and the process
  // ends all the same.
  if (commandThread_) commandThread_->Join(kCommandJoinMs);
  commandThread_.reset();
  return code;
}

void Processor::CloseEverything() {
  api_.close(window_->Handle());
  // The signature is personal: nothing of it outlives the program's end.
  canvas_.Clear();
  platform::CloseSocket(connected_.exchange(platform::kNoSocket));
  platform::CloseSocket(listening_.exchange(platform::kNoSocket));
}

bool Processor::WindowProcedure(const platform::message::Message& m) {
  const uint32_t tablet = messageId_.load();
  if (tablet != 0 && m.id == tablet) {
    OnTabletMessage();
    return true;
  }
  switch (m.id) {
    case platform::message::kCommand:
      switch (m.wParam & 0xFFFF) {
        case IDM_EXIT:
          window_->Destroy();
          return true;
        case IDM_ABOUT:
          return true;
        default:
          return false;
      }
    case platform::message::kPaint:
      return true;
    case platform::message::kDestroy:
      CloseEverything();
      window_->PostQuit(0);
      return true;
    default:
      return false;
  }
}

void Processor::OnTabletMessage() {
  PenPacket packet{};
  if (api_.packetsGet(1, &packet) == 0) return;
  if (packet.key == kKeyConfirm) confirmed_ = 1;
  if (packet.key == kKeyClear) canvas_.Clear();
  if (packet.key != 0) return;
  if (!window_->HasDrawingContext()) {
    LOG_MAIN(Error, "hdc Failed!");
    platform::ShowMessageBox("hdc Failed!", "Info");
    return;
  }
  canvas_.Draw(packet, MsSinceRecordStart());
  if (drawn_) drawn_(packet);
}

void Processor::ThreadPemrik() {
  if (platform::NetStartup(0x0101) != 0) {
    LOG_COMMAND(Error, "ERROR: WSAStartup Failed!");
    return;
  }
  const platform::Socket listening = platform::TcpSocket();
  if (listening == platform::kNoSocket) {
    LOG_COMMAND(Error, "ERROR: socket Failed!");
    return;
  }
  listening_ = listening;
  // Loopback only: the service connects there, and no other host may take the one connection.
  if (!platform::BindLoopback(listening, kCommandPort)) {
    LOG_COMMAND(Error, "ERROR: bind Failed!");
    return;
  }
  if (!platform::Listen(listening, 1)) {
    LOG_COMMAND(Error, "ERROR: listen Failed!");
    return;
  }
  const platform::Socket connection = platform::Accept(listening);
  if (connection == platform::kNoSocket) {
    LOG_COMMAND(Error, "ERROR: accept Failed!");
    return;
  }
  connected_ = connection;

  // Words the service sent while this thread was busy arrive together: each is carried out, in
  // order, and a word cut by the read waits here for its rest.
  std::string pending;
  for (;;) {
    char buffer[kCommandBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    const long received = platform::Receive(connected_.load(), buffer, sizeof buffer);
    if (received <= 0) {
      if (!platform::CloseSocket(connected_.exchange(platform::kNoSocket))) {
        LOG_COMMAND(Error, "ERROR: closesocket Failed!");
        return;
      }
      // Only one connection in the program's life: the port is given up with it, as Winsock's
      // clean-up does on Windows.
      platform::CloseSocket(listening_.exchange(platform::kNoSocket));
      if (platform::NetCleanup() != 0) LOG_COMMAND(Error, "ERROR: WSACleanup Failed!");
      return;
    }
    LOG_COMMAND(Info, "len:{}", received);
    pending.append(buffer, static_cast<size_t>(received));
    if (!ExecuteWords(&pending)) return;
  }
}

bool Processor::ExecuteWords(std::string* pending) {
  for (;;) {
    const size_t end = pending->find('\0');
    // A buffer's worth without a zero byte is a word of its own, as one read used to take it.
    if (end == std::string::npos && pending->size() < kCommandBufferSize) return true;
    const size_t length = end == std::string::npos ? kCommandBufferSize : end;
    const std::string word = pending->substr(0, length);
    pending->erase(0, end == std::string::npos ? length : length + 1);
    if (!Execute(word)) return false;
  }
}

bool Processor::Execute(const std::string& word) {
  LOG_COMMAND(Info, "buffer:{}", word);
  if (word == "Quit") {
    window_->Send(platform::message::kDestroy, 0, 0);
  } else if (word == "Init") {
    // The pen's path starts anew; the ink stays, as it always did.
    canvas_.ClearRecord();
    recordStart_ = Ticks();
    api_.close(window_->Handle());
    TabletCaps caps{};
    uint32_t message = 0;
    // Its own window as the target: a broadcast would hand the pen's path to every top-level
    // window of the desktop, and need not reach this one when a service started it.
    const int result = api_.init(&caps, &message, window_->Handle());
    if (result != 0) {
      LOG_COMMAND(Error, "Failed to Init!{}", result);
      // No more commands are read: the service is told at once by the closed connection
      // instead of waiting for replies. The port goes first, so that by then a new program
      // can take it.
      platform::CloseSocket(listening_.exchange(platform::kNoSocket));
      platform::CloseSocket(connected_.exchange(platform::kNoSocket));
      platform::NetCleanup();
      return false;
    }
    canvas_.SetCaps(caps);
    messageId_ = message;
  } else if (word == "Close") {
    api_.close(window_->Handle());
  } else if (word == "GetSign") {
    GetSign();
  } else if (word == "Clear") {
    api_.clearSig();
    canvas_.Clear();
  } else if (word == "Confirm") {
    Confirm();
  } else if (!SendPoints(word) && !SteerSimulatedTablet(word)) {
    LOG_COMMAND(Warning, "unknown command:{}", word);
    platform::ShowMessageBox(word, "Info");
  }
  return true;
}

void Processor::GetSign() {
  const auto start = std::chrono::steady_clock::now();
  const std::string text = canvas_.PngBase64();
  LOG_COMMAND(Info, "base64_encode time is: {}s", SecondsSince(start));
  const auto sending = std::chrono::steady_clock::now();
  platform::Send(connected_.load(), text.data(), text.size());
  LOG_COMMAND(Info, "WriteFile time is: {}s", SecondsSince(sending));
}

void Processor::Confirm() {
  const bool confirmed = confirmed_.exchange(0) == 1;
  if (confirmed) canvas_.Clear();
  platform::Send(connected_.load(), confirmed ? "1" : "0", 1);
}

bool Processor::SendPoints(const std::string& word) {
  uint64_t from = 0;
  size_t max = kPointsPerReply;
  if (word == "GetStrokes") {
    max = kWholeRecordPoints;
  } else if (!PointsIndex(word, &from)) {
    return false;
  }
  const std::string text = FormatSlice(canvas_.Points(from, max), confirmed_.load() == 1, canvas_.ProductId());
  platform::Send(connected_.load(), text.data(), text.size());
  return true;
}

bool Processor::SteerSimulatedTablet(const std::string& word) {
  sim::TabletAction action;
  if (word == "SimConfirm") {
    action = sim::TabletAction::PressConfirm;
  } else if (word == "SimUnplug") {
    action = sim::TabletAction::Unplug;
  } else if (word == "SimReplug") {
    action = sim::TabletAction::Replug;
  } else {
    return false;
  }
  const sim::TabletControl control = g_simulatedTablet.load();
  const bool done = platform::SimulationEnabled() && control != nullptr && control(static_cast<int>(action)) == 1;
  platform::Send(connected_.load(), done ? "1" : "0", 1);
  return true;
}

uint32_t Processor::MsSinceRecordStart() const {
  const auto ticks = std::chrono::steady_clock::duration(Ticks() - recordStart_.load());
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(ticks).count());
}

int Main() {
  Processor processor([](TabletApi* api) {
    platform::DynLib library = nullptr;
    // Kept loaded for the rest of the program's life.
    return LoadTablet(api, &library);
  });
  return processor.Run();
}

}  // namespace capture
