// One command, two exports: the serial one ignores the open flag, the HID one uses it. Both turn
// the command's Result into their number here, with vnsdt::CommandResult unless named.
#pragma once

#include "export_codes.h"
#include "vnsdtapi.h"

// The arguments travel in parentheses through the macros below and are opened at the call.
#define TW_ARGS(...) (__VA_ARGS__)
#define TW_OPEN_ARGS(...) __VA_ARGS__
#define TW_EXPORT_PAIR_AS(name, toNumber, params, args)                                        \
  VNSDTAPI int VNSDTAPI_CALL RS232_##name params {                                             \
    return toNumber(vnsdt::Link::Serial, vnsdt::name(vnsdt::Link::Serial, TW_OPEN_ARGS args)); \
  }                                                                                            \
  VNSDTAPI int VNSDTAPI_CALL HID_##name params {                                               \
    return toNumber(vnsdt::Link::Hid, vnsdt::name(vnsdt::Link::Hid, TW_OPEN_ARGS args));       \
  }
#define TW_EXPORT_PAIR(name, params, args) TW_EXPORT_PAIR_AS(name, vnsdt::CommandResult, params, args)
