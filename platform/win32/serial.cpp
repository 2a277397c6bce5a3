#include <windows.h>

#include <cstdio>
#include <new>

#include "../sim/serial_os.h"

namespace platform::serial::os {
namespace {

class Win32Port final : public Port {
 public:
  explicit Win32Port(HANDLE handle) : handle_(handle) {}
  ~Win32Port() override { CloseHandle(handle_); }

  bool SetQueues(uint32_t inBytes, uint32_t outBytes) override {
    return SetupComm(handle_, inBytes, outBytes) != FALSE;
  }

  bool SetLine(uint32_t baud) override {
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle_, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return SetCommState(handle_, &dcb) != FALSE;
  }

  bool SetReadTimeouts(uint32_t intervalMs, uint32_t perByteMs, uint32_t constantMs) override {
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = intervalMs;
    timeouts.ReadTotalTimeoutMultiplier = perByteMs;
    timeouts.ReadTotalTimeoutConstant = constantMs;
    return SetCommTimeouts(handle_, &timeouts) != FALSE;
  }

  bool Purge(bool output, bool input) override {
    bool ok = true;
    if (output) ok = PurgeComm(handle_, PURGE_TXCLEAR) != FALSE && ok;
    if (input) ok = PurgeComm(handle_, PURGE_RXCLEAR) != FALSE && ok;
    return ok;
  }

  bool Write(const uint8_t* data, size_t size) override {
    if (size > MAXDWORD) return false;
    DWORD written = 0;
    if (!WriteFile(handle_, data, static_cast<DWORD>(size), &written, nullptr)) return false;
    return written == size;
  }

  long Read(uint8_t* data, size_t size) override {
    if (size > MAXDWORD) return -1;
    DWORD got = 0;
    if (!ReadFile(handle_, data, static_cast<DWORD>(size), &got, nullptr)) return -1;
    return static_cast<long>(got);
  }

  void ClearError() override {
    DWORD errors = 0;
    COMSTAT stat = {};
    ClearCommError(handle_, &errors, &stat);
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::string DeviceName(int port) {
  char name[32];
  // Only COM1..COM9 are reserved DOS names; higher numbers need the device namespace.
  if (port >= 1 && port <= 9) {
    std::snprintf(name, sizeof(name), "COM%d", port);
  } else {
    std::snprintf(name, sizeof(name), "\\\\.\\COM%d", port);
  }
  return name;
}

Port* Open(int port) {
  const std::string name = DeviceName(port);
  const DWORD attributes = (port >= 1 && port <= 9) ? FILE_ATTRIBUTE_NORMAL : 0;
  HANDLE handle =
      CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  Port* result = new (std::nothrow) Win32Port(handle);
  if (result == nullptr) CloseHandle(handle);
  return result;
}

}  // namespace platform::serial::os
