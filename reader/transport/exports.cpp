// Opening and closing exports of both transports.
#include "frame.h"
#include "hid_link.h"
#include "serial_link.h"
#include "sim/reader.h"
#include "vnsdtapi.h"

using vnsdt::Hid;
using vnsdt::Serial;

namespace {
// With simulation on, the library comes up with a simulated reader attached.
const bool g_simInstalled = (sim::InstallDefaultReaders(), true);
}  // namespace

TW_EXPORT int TW_STDCALL RS232_OpenPort(int port) {
  Serial().currentPort = port;
  return Serial().OpenPort(port) == vnsdt::kSerialOk ? vnsdt::kSw3Success : 0;
}

TW_EXPORT int TW_STDCALL RS232_ClosePort(int port) {
  Serial().currentPort = port;
  if (port < 1 || port > vnsdt::SerialLink::kPorts) return 0;
  Serial().ClosePort(port);
  return vnsdt::kSw3Success;
}

TW_EXPORT int TW_STDCALL HID_SetTransType(int type) {
  Hid().transType = (type == 1 || type == 2) ? type : 1;
  return Hid().transType;
}

TW_EXPORT int TW_STDCALL HID_GetCount() { return Hid().finder.Count(); }

TW_EXPORT int TW_STDCALL HID_OpenPort(int port) {
  if (!vnsdt::HidLink::InRange(port)) return 0;
  return Hid().Open(port) ? vnsdt::kSw3Success : 0;
}

TW_EXPORT int TW_STDCALL HID_ClosePort(int port) {
  if (!vnsdt::HidLink::InRange(port)) return 0;
  return Hid().Close(port) ? vnsdt::kSw3Success : 0;
}
