#include "platform/event.h"

#include <windows.h>

namespace platform {
namespace {

class Win32Event final : public Event {
 public:
  explicit Win32Event(HANDLE h) : handle_(h) {}
  ~Win32Event() override { ::CloseHandle(handle_); }
  void Set() override { ::SetEvent(handle_); }
  void Reset() override { ::ResetEvent(handle_); }
  WaitResult Wait(uint32_t timeoutMs) override {
    switch (::WaitForSingleObject(handle_, timeoutMs)) {
      case WAIT_OBJECT_0:
        return WaitResult::Signalled;
      case WAIT_TIMEOUT:
        return WaitResult::Timeout;
      default:
        return WaitResult::Failed;
    }
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<Event> Event::CreateManualReset() {
  HANDLE h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (h == nullptr) return nullptr;
  return std::make_unique<Win32Event>(h);
}

}  // namespace platform
