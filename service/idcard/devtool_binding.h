// The optional devtool library of the second reader family: bound at start-up, asked for the
// card number. Without it (or with a name missing) every pointer is null and the card-number
// command answers -1.
#pragma once

#include <cstddef>

#include "devtool.h"

extern SdtOpenPortFn g_SDT_OpenPort;
extern SdtClosePortFn g_SDT_ClosePort;
extern SdtWriteAppMsgFn g_SDT_WriteAppMsg;

// Loads "devtool.dll" by the ordinary library search and binds its three entry points; logs the
// failure under `caller` and returns false when the library or a name is missing.
bool BindDevtool(const char* caller);

// The card number through devtool's command 0x05: 144 with the hex text in `text` (NUL-
// terminated, `capacity` bytes) and the byte count in `length`, else -1.
int DevtoolCardNumber(int port, int openFlag, char* text, size_t capacity, int* length);
