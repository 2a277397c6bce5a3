// Exports of our stand-in for JRS_40QK_CardDll, the driving-training card terminal's card
// library. It speaks to the terminal through jrs_3G_usb (FindOpenUDev, USBTransfer, CloseUDev)
// with the simulated terminal's block protocol; a vendor's library replaces it file for file.
// Standard calling convention on Windows; 16-bit parameters; signed 16-bit results:
//    0  success                      -5  a parameter or a text the terminal cannot take
//   -1  not open (CommOpen first)    -6  no card in the terminal
//   -2  no terminal found            -7  no such record
//   -3  the transfer failed          -8  unknown command
//   -4  no valid reply               -9  the records do not fit one reply
// GetDataStrEx answers 1 (success) or 0 (no data text), GetDllVer 0.
//
// Records. StructType picks the kind, Index the first record, Count how many (0: all from Index):
//   CommRead, the card:            1 trainee, 2 training sessions, 3 minutes per subject,
//                                  4 an enrolled fingerprint (Index: 0 or 1)
//   DataRead, the terminal:        2 the sessions it recorded, 4 the last fingerprint its sensor
//                                  took (Index 0)
//   CmdRead, the terminal's state: 0 the terminal (firmware, serial, ports of the last CommOpen,
//                                  card present, clock, display), 1 the last command
// A read replaces the data text; a failed read, CommOpen and CommClose empty it.
//
// The data text: one line per record, lines separated by LF; each line "type=T|index=I" followed
// by "|name=value" fields, for example
//   type=2|index=0|date=20260110|start=0830|end=1000|minutes=90|subject=2|coach=C0007|...
// A fingerprint (type 4) is the picture alone: 60800 hex digits (upper case), two per pixel, 152
// pixels a row, 200 rows, the top row first.
//
// CommWriteEx writes records to the card in the same form: types 1 to 3, an Index up to the
// number of records (that number appends one), the fields named replace or join the record's
// own; a line of at most 256 bytes; all lines or none are written. CommCommandEx sends a
// command: 1 set the clock (data YYYYMMDDhhmmss), 2 show a text of up to 64 bytes on the display,
// 3 take a fingerprint with the sensor.
#pragma once

#include "platform/export.h"

// text: at least 256 bytes; a zero-terminated version text.
TW_EXPORT short TW_STDCALL JRS_CARD_GetDllVer(char* text);
TW_EXPORT short TW_STDCALL JRS_CARD_CommOpen(unsigned short cardPort, unsigned short devicePort);
TW_EXPORT short TW_STDCALL JRS_CARD_CommClose();
TW_EXPORT short TW_STDCALL JRS_CARD_CommCommandEx(unsigned short command, const char* data);
TW_EXPORT short TW_STDCALL JRS_CARD_CommRead(unsigned short structType, unsigned short index, unsigned short count);
TW_EXPORT short TW_STDCALL JRS_CARD_CommWriteEx(const char* data);
// text: at least 100000 bytes; the last data text, zero-terminated (it never passes 99999 bytes).
TW_EXPORT short TW_STDCALL JRS_CARD_GetDataStrEx(char* text);
TW_EXPORT short TW_STDCALL JRS_CARD_DataRead(unsigned short structType, unsigned short index, unsigned short count);
TW_EXPORT short TW_STDCALL JRS_CARD_CmdRead(unsigned short structType, unsigned short index, unsigned short count);

// Test control: "reset", or a function's name (JRS_CARD_CommOpen, ...) with the result it is
// to give instead of its own (0x7FFFFFFF clears it). A forced GetDataStrEx still delivers the
// text.
TW_EXPORT void TW_STDCALL SimJrs_Control(const char* setting, int value);
TW_EXPORT int TW_STDCALL SimJrs_Calls(const char* function);
