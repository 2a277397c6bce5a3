// Message windows of a Linux process: one queue per window, and a hub that knows the windows
// and the registered names.
//
// A shared library links its own copy of this file, while its messages must reach the program's
// windows. So there is one hub per process: the program exports its hub's entry points under a
// C name (tw_platform_message_hub, see platform/CMakeLists.txt), and every copy uses the first
// one the dynamic loader finds. Only that small table of plain functions crosses between copies.
#include "platform/message.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

extern "C" {
struct TwMessageHub {
  uint32_t (*registerMessage)(const char* name);
  // Posts to one window (a handle it knows) or to all; 0 when nothing took it.
  int (*post)(void* window, uint32_t id, uintptr_t wParam, intptr_t lParam);
  void (*add)(void* window, int (*deliver)(void* window, uint32_t id, uintptr_t wParam, intptr_t lParam));
  void (*remove)(void* window);
};
__attribute__((visibility("default"))) const TwMessageHub* tw_platform_message_hub();
}

namespace platform::message {
namespace {

using Deliver = int (*)(void*, uint32_t, uintptr_t, intptr_t);

struct LocalHub {
  std::mutex mutex;
  std::map<std::string, uint32_t> names;
  uint32_t next = 0xC000;
  std::map<void*, Deliver> windows;
};

LocalHub& Local() {
  static LocalHub* hub = new LocalHub;  // never destroyed: windows may post while the process exits
  return *hub;
}

uint32_t LocalRegister(const char* name) {
  std::string key(name);
  std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::toupper(c); });
  LocalHub& hub = Local();
  std::lock_guard<std::mutex> lock(hub.mutex);
  auto it = hub.names.find(key);
  if (it != hub.names.end()) return it->second;
  if (hub.next > 0xFFFF) return 0;
  hub.names.emplace(key, hub.next);
  return hub.next++;
}

int LocalPost(void* window, uint32_t id, uintptr_t wParam, intptr_t lParam) {
  LocalHub& hub = Local();
  // Delivering only queues, so it may run under the hub's lock: a window cannot leave meanwhile.
  std::lock_guard<std::mutex> lock(hub.mutex);
  if (window == kBroadcast) {
    // As on Windows, a broadcast succeeds whoever takes it.
    for (const auto& [w, deliver] : hub.windows) deliver(w, id, wParam, lParam);
    return 1;
  }
  auto it = hub.windows.find(window);
  return it == hub.windows.end() ? 0 : it->second(window, id, wParam, lParam);
}

void LocalAdd(void* window, Deliver deliver) {
  LocalHub& hub = Local();
  std::lock_guard<std::mutex> lock(hub.mutex);
  hub.windows[window] = deliver;
}

void LocalRemove(void* window) {
  LocalHub& hub = Local();
  std::lock_guard<std::mutex> lock(hub.mutex);
  hub.windows.erase(window);
}

const TwMessageHub kLocalHub = {LocalRegister, LocalPost, LocalAdd, LocalRemove};

const TwMessageHub& Hub() {
  static const TwMessageHub* hub = [] {
    using Entry = const TwMessageHub* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(RTLD_DEFAULT, "tw_platform_message_hub"));
    return entry != nullptr ? entry() : &kLocalHub;
  }();
  return *hub;
}

class PosixWindow final : public MessageWindow {
 public:
  explicit PosixWindow(Procedure procedure) : procedure_(std::move(procedure)), owner_(std::this_thread::get_id()) {
    Hub().add(this, &PosixWindow::DeliverPosted);
  }
  ~PosixWindow() override {
    Hub().remove(this);
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    for (Entry& e : queue_) {
      if (e.sent != nullptr) e.sent->done = true;
    }
    cv_.notify_all();
  }

  WindowHandle Handle() const override { return const_cast<PosixWindow*>(this); }

  int Run() override {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return !queue_.empty() || quit_; });
      if (queue_.empty()) break;  // quit, after everything queued before it
      Entry e = queue_.front();
      queue_.pop_front();
      lock.unlock();
      procedure_(e.message);
      lock.lock();
      if (e.sent != nullptr) {
        e.sent->done = true;
        cv_.notify_all();
      }
    }
    ended_ = true;
    for (Entry& e : queue_) {
      if (e.sent != nullptr) e.sent->done = true;
    }
    queue_.clear();
    cv_.notify_all();
    return quitCode_;
  }

  void PostQuit(int code) override {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    quitCode_ = code;
    cv_.notify_all();
  }

  bool Send(uint32_t id, uintptr_t wParam, intptr_t lParam) override {
    if (std::this_thread::get_id() == owner_) {
      procedure_(Message{id, wParam, lParam});
      return true;
    }
    Sent sent;
    std::unique_lock<std::mutex> lock(mutex_);
    if (ended_) return false;
    // Sent messages go before the posted ones, as on Windows.
    auto firstPosted = std::find_if(queue_.begin(), queue_.end(), [](const Entry& e) { return e.sent == nullptr; });
    queue_.insert(firstPosted, Entry{Message{id, wParam, lParam}, &sent});
    cv_.notify_all();
    cv_.wait(lock, [&sent] { return sent.done; });
    return true;
  }

  void Destroy() override { Send(kDestroy, 0, 0); }

  bool HasDrawingContext() override { return true; }

 private:
  struct Sent {
    bool done = false;
  };
  struct Entry {
    Message message;
    Sent* sent;
  };

  static int DeliverPosted(void* window, uint32_t id, uintptr_t wParam, intptr_t lParam) {
    auto* self = static_cast<PosixWindow*>(window);
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->ended_) return 0;
    self->queue_.push_back(Entry{Message{id, wParam, lParam}, nullptr});
    self->cv_.notify_all();
    return 1;
  }

  Procedure procedure_;
  const std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Entry> queue_;
  bool quit_ = false;
  bool ended_ = false;
  int quitCode_ = 0;
};

}  // namespace

uint32_t RegisterMessage(const std::string& name) { return Hub().registerMessage(name.c_str()); }

bool Post(WindowHandle window, uint32_t id, uintptr_t wParam, intptr_t lParam) {
  return Hub().post(window, id, wParam, lParam) != 0;
}

std::unique_ptr<MessageWindow> MessageWindow::Create(const WindowOptions&, Procedure procedure, Failure* failure) {
  if (failure != nullptr) *failure = Failure::None;
  return std::make_unique<PosixWindow>(std::move(procedure));
}

}  // namespace platform::message

const TwMessageHub* tw_platform_message_hub() { return &platform::message::kLocalHub; }
