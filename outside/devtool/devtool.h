// Exports of the devtool stand-in; the service loads it at run time and looks these names up.
#pragma once

#include "platform/export.h"

using SdtOpenPortFn = int(TW_STDCALL*)(int port);   // 0 success, 1 failure
using SdtClosePortFn = int(TW_STDCALL*)(int port);  // 0
// Command 0x05 answers 144 with the card's 8-byte physical number; other commands 0x21,
// no card 0x80, null buffers 0x21.
using SdtWriteAppMsgFn = int(TW_STDCALL*)(int port, unsigned char* send, int sendLength, unsigned char* receive,
                                          unsigned int* receiveLength, int flag);
using SimDevtoolControlFn = void(TW_STDCALL*)(const char* setting, int value);
using SimDevtoolCallsFn = int(TW_STDCALL*)(const char* function);
