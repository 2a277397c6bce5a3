// One command, two exports: the serial one ignores the open flag, the HID one uses it.
#pragma once

#include "vnsdtapi.h"

#define TW_EXPORT_PAIR(name, params, args)                                                        \
  TW_EXPORT int TW_STDCALL RS232_##name params { return vnsdt::name(vnsdt::Link::Serial, args); } \
  TW_EXPORT int TW_STDCALL HID_##name params { return vnsdt::name(vnsdt::Link::Hid, args); }
#define TW_ARGS(...) __VA_ARGS__
