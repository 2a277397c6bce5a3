// Serial ports by Windows COM number (1..16).
// Windows: "COM%d" for 1..9 and "\\.\COM%d" for 10..16 through CreateFileA.
// Linux: termios on a device path; COM n is /dev/ttyS(n-1) unless the environment variable
// TARNWICK_COM<n> names another path (a USB-serial reader is /dev/ttyUSB0, for example).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::serial {

class Port {
 public:
  virtual ~Port() = default;
  virtual bool SetQueues(uint32_t inBytes, uint32_t outBytes) = 0;
  // Line rate, 8 data bits, no parity, one stop bit; other settings stay as the driver has them.
  virtual bool SetLine(uint32_t baud) = 0;
  // Read time-outs as Windows counts them: total = perByteMs * bytes + constantMs.
  virtual bool SetReadTimeouts(uint32_t intervalMs, uint32_t perByteMs, uint32_t constantMs) = 0;
  virtual bool Purge(bool output, bool input) = 0;
  // Writes all bytes in one synchronous write.
  virtual bool Write(const uint8_t* data, size_t size) = 0;
  // Reads up to `size` bytes within the read time-out; returns the count read (fewer on
  // time-out), or -1 when the read fails.
  virtual long Read(uint8_t* data, size_t size) = 0;
  virtual void ClearError() = 0;
};

// The name the port is opened by on this system.
std::string DeviceName(int port);
// Opens the port for reading and writing, not shared; null on failure.
Port* Open(int port);
void Close(Port* port);

}  // namespace platform::serial
