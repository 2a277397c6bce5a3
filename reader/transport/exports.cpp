// Opening and closing exports of both transports.
#include "export_codes.h"
#include "hid_link.h"
#include "serial_link.h"
#include "sim/hook.h"
#include "sim/reader.h"
#include "vnsdtapi.h"

using vnsdt::Hid;
using vnsdt::kHidPorts;
using vnsdt::kSerialPorts;
using vnsdt::PortResult;
using vnsdt::Serial;

// With simulation on, the library comes up with a simulated reader attached.
TW_SIMULATION_HOOK(sim::InstallDefaultReaders)

// The simulation's one control: a card placed or taken, the reader plugged or unplugged. -1 with
// simulation off.
VNSDTAPI int VNSDTAPI_CALL SimReader_Control(const char* setting, int value) {
#if TW_WITH_SIMULATION
  return sim::ControlDefaultReaders(setting, value) ? 0 : -1;
#else
  (void)setting, (void)value;
  return -1;
#endif
}

VNSDTAPI int VNSDTAPI_CALL RS232_OpenPort(int port) {
  return PortResult(Serial().OpenPort(port) == vnsdt::Status::kOk);
}

VNSDTAPI int VNSDTAPI_CALL RS232_ClosePort(int port) {
  if (!kSerialPorts.Contains(port)) return PortResult(false);
  Serial().ClosePort(port);
  return PortResult(true);
}

VNSDTAPI int VNSDTAPI_CALL HID_SetTransType(int type) {
  Hid().transType = (type == 1 || type == 2) ? type : 1;
  return Hid().transType;
}

VNSDTAPI int VNSDTAPI_CALL HID_GetCount() { return Hid().finder.Count(); }

VNSDTAPI int VNSDTAPI_CALL HID_OpenPort(int port) { return PortResult(kHidPorts.Contains(port) && Hid().Open(port)); }

VNSDTAPI int VNSDTAPI_CALL HID_ClosePort(int port) { return PortResult(Hid().Close(port)); }
