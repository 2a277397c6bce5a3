#include "platform/event.h"

#include <windows.h>

namespace platform {
namespace {

class Win32Event final : public Event {
 public:
  explicit Win32Event(HANDLE h) : handle_(h) {}
  ~Win32Event() override { ::CloseHandle(handle_); }
  void Reset() override { ::ResetEvent(handle_); }
  WaitResult Wait(uint32_t timeoutMs) override {
    switch (::WaitForSingleObject(handle_, timeoutMs == kWaitForever ? INFINITE : timeoutMs)) {
      case WAIT_OBJECT_0:
        return WaitResult::Signalled;
      case WAIT_TIMEOUT:
        return WaitResult::Timeout;
      default:
        return WaitResult::Failed;
    }
  }

 protected:
  void Signal() override { ::SetEvent(handle_); }

 private:
  HANDLE handle_;
};

std::unique_ptr<Event> Create(BOOL manualReset, BOOL signalled) {
  HANDLE h = ::CreateEventW(nullptr, manualReset, signalled, nullptr);
  if (h == nullptr) return nullptr;
  return std::make_unique<Win32Event>(h);
}

}  // namespace

std::unique_ptr<Event> Event::CreateManualReset() { return Create(TRUE, FALSE); }
std::unique_ptr<Event> Event::CreateAutoReset(bool signalled) { return Create(FALSE, signalled ? TRUE : FALSE); }

}  // namespace platform
