// vnsdtapi: the ID-card reader library. Commands travel in one frame format over a serial line
// (RS232_ exports, COM ports 1..16) or USB HID (HID_ exports, ports 1001..1016 = the first,
// second, ... reader found). Results: 0 port out of range, 1 no HID device, -1 transfer
// failure, otherwise the reader's status byte SW3 (144 = success).
//
// Bounds: a reply whose length field claims more than the reply buffer (4096 bytes; 1024 for
// the find-card command) is treated as a failed read (-1); nothing is copied past a buffer.
#pragma once

#include "platform/export.h"

TW_EXPORT int TW_STDCALL RS232_OpenPort(int port);
TW_EXPORT int TW_STDCALL RS232_ClosePort(int port);
TW_EXPORT int TW_STDCALL HID_SetTransType(int type);
TW_EXPORT int TW_STDCALL HID_GetCount();
TW_EXPORT int TW_STDCALL HID_OpenPort(int port);
TW_EXPORT int TW_STDCALL HID_ClosePort(int port);
