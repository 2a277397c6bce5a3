// Serial ports by Windows COM number (1..16).
// Backends: win32/serial.cpp ("COM%d" for 1..9 and "\\.\COM%d" for 10..16 through CreateFileA),
// posix/serial.cpp (termios on a device path: COM n is /dev/ttyS(n-1) unless the environment
// variable TARNWICK_COM<n> names another path, a USB-serial reader's /dev/ttyUSB0 for example),
// sim/serial.cpp (a COM number bound to a virtual link of platform/serial_virtual.h).
//
// Threads: Open may run on any thread. One Port is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::serial {

class Port {
 public:
  virtual ~Port() = default;
  // Driver queue sizes; Linux keeps the tty driver's own. Does not block. false: refused.
  virtual bool SetQueues(uint32_t inBytes, uint32_t outBytes) = 0;
  // Line rate, 8 data bits, no parity, one stop bit; other settings stay as the driver has them.
  // Does not block. false: a rate the port cannot take, or the port is gone.
  virtual bool SetLine(uint32_t baud) = 0;
  // Read time-outs as Windows counts them: total = perByteMs * bytes + constantMs; interval is
  // the longest gap once data flows (0: none). Applies to the following reads.
  virtual bool SetReadTimeouts(uint32_t intervalMs, uint32_t perByteMs, uint32_t constantMs) = 0;
  // Drops what waits to go out and/or what came in unread. Does not block.
  virtual bool Purge(bool output, bool input) = 0;
  // Writes all bytes in one synchronous write; blocks until the driver took them (no time-out:
  // a port that never drains blocks). false: the write failed, some bytes may have gone.
  virtual bool Write(const uint8_t* data, size_t size) = 0;
  // Blocks until `size` bytes came or the read time-out ran out, whichever is first; a signal
  // does not cut it short. A zero budget takes only what is waiting (Windows would wait for
  // ever). Returns the count read (fewer on time-out), or -1 when the read fails.
  virtual long Read(uint8_t* data, size_t size) = 0;
  // Clears the port's error state after a failed write (ClearCommError; nothing on Linux).
  virtual void ClearError() = 0;
};

// The name the port is opened by on this system. Does not block.
std::string DeviceName(int port);
// Opens the port for reading and writing, not shared (Linux: an exclusive flock), without
// waiting for a carrier. Null: no such port, it is in use, or access is denied.
Port* Open(int port);
// Releases the port; null is allowed.
void Close(Port* port);

}  // namespace platform::serial
