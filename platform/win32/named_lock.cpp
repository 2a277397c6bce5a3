#include "platform/named_lock.h"

#include <windows.h>

#include "platform/codepage.h"

#include <chrono>

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

namespace {

class Win32ExistenceLock : public ExistenceLock {
 public:
  explicit Win32ExistenceLock(HANDLE mutex) : mutex_(mutex) {}
  ~Win32ExistenceLock() override { CloseHandle(mutex_); }

 private:
  HANDLE mutex_;
};

// A mutex this call made, or null when one of that name existed already (or none can be made).
HANDLE CreateFresh(const std::wstring& name) {
  // A null DACL lets every account of the system open the object.
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    attributes.lpSecurityDescriptor = &descriptor;
  }
  HANDLE mutex = CreateMutexW(&attributes, FALSE, name.c_str());
  if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return nullptr;
  }
  return mutex;
}

}  // namespace

std::unique_ptr<ExistenceLock> ExistenceLock::Acquire(const std::string& name, uint32_t pollMs, uint32_t timeoutMs) {
  const std::wstring wide = WideFromUtf8(name);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Creating and checking in one call leaves no gap between "it is gone" and "it is mine".
    if (HANDLE mutex = CreateFresh(wide)) return std::make_unique<Win32ExistenceLock>(mutex);
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    Sleep(pollMs);
  }
}

bool ExistenceLock::Held(const std::string& name) {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, WideFromUtf8(name).c_str());
  if (mutex == nullptr) return false;
  CloseHandle(mutex);
  return true;
}

}  // namespace platform
