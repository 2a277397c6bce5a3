#include "platform/thread.h"

#include <windows.h>

#include <process.h>

namespace platform {
namespace {

unsigned __stdcall Run(void* arg) {
  auto* body = static_cast<std::function<void()>*>(arg);
  try {
    (*body)();
  } catch (...) {
  }
  delete body;
  return 0;
}

class Win32Thread final : public Thread {
 public:
  explicit Win32Thread(HANDLE h) : handle_(h) {}
  ~Win32Thread() override { ::CloseHandle(handle_); }
  bool Running() override { return ::WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT; }
  bool Join(uint32_t timeoutMs) override { return ::WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0; }
  bool SetTimeCritical() override { return ::SetThreadPriority(handle_, THREAD_PRIORITY_TIME_CRITICAL) != FALSE; }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<Thread> Thread::Start(std::function<void()> body) {
  auto* arg = new std::function<void()>(std::move(body));
  // _beginthreadex, not CreateThread: the C runtime sets up its per-thread state.
  const uintptr_t h = _beginthreadex(nullptr, 0, Run, arg, 0, nullptr);
  if (h == 0) {
    delete arg;
    return nullptr;
  }
  return std::make_unique<Win32Thread>(reinterpret_cast<HANDLE>(h));
}

}  // namespace platform
