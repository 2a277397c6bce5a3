// Exports of the SDTAPI stand-in: the JL reader vendor's card-reading library, simulated
// in-process. Results are 1 for success unless noted.
#pragma once

#include "platform/export.h"

TW_EXPORT int TW_STDCALL InitComm(int port);  // -1 when no JL reader is attached
TW_EXPORT int TW_STDCALL CloseComm();
TW_EXPORT int TW_STDCALL Authenticate();  // 0 without reader or card
TW_EXPORT int TW_STDCALL IsFingerPrintDevice();
// text: 256 bytes written (buffer of 1024); photo.bmp goes to the current directory.
// 0 without reader or card, and then nothing is written.
TW_EXPORT int TW_STDCALL ReadBaseMsg(unsigned char* text, int flag);
TW_EXPORT int TW_STDCALL ReadBaseFPMsg(unsigned char* text, int* value, unsigned char* fingerprint,
                                       int* fingerprintLength);
TW_EXPORT int TW_STDCALL ReadIINSNDN(char* buffer);                                       // 0 without reader or card
TW_EXPORT int TW_STDCALL GetSAMIDToStr(char* buffer);                                     // 0 without reader
TW_EXPORT int TW_STDCALL SDT_StartFindIDCard(int port, unsigned char* buffer, int flag);  // 0x9F / 0x80
TW_EXPORT int TW_STDCALL SDT_SelectIDCard(int port, unsigned char* buffer, int flag);     // 0x90 / 0x81
TW_EXPORT int TW_STDCALL GetHIDCount();
TW_EXPORT int TW_STDCALL Routon_ShutDownAntenna();

// Test control, see sdtapi.cpp.
TW_EXPORT void TW_STDCALL SimJL_Control(const char* setting, int value);
TW_EXPORT int TW_STDCALL SimJL_Calls(const char* function);
