#include "platform/named_lock.h"

#include <windows.h>

#include "platform/codepage.h"

namespace platform {
namespace {

class Win32NamedLock final : public NamedLock {
 public:
  explicit Win32NamedLock(HANDLE h) : handle_(h) {}
  ~Win32NamedLock() override { ::CloseHandle(handle_); }
  bool Enter(uint32_t timeoutMs) override {
    return ::WaitForSingleObject(handle_, timeoutMs == kWaitForever ? INFINITE : timeoutMs) == WAIT_OBJECT_0;
  }
  void Leave() override { ::SetEvent(handle_); }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<NamedLock> NamedLock::Open(const std::string& name) {
  // Auto-reset and signalled when this call creates it; an existing one is opened as it is.
  HANDLE h = ::CreateEventW(nullptr, FALSE, TRUE, WideFromUtf8(name).c_str());
  if (h == nullptr) return nullptr;
  return std::make_unique<Win32NamedLock>(h);
}

}  // namespace platform
