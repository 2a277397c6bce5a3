// The second reader family's library (SDTAPI), linked by import. Its calls answer 1 for success.
#pragma once

#include "platform/export.h"

extern "C" {
int TW_STDCALL InitComm(int port);
int TW_STDCALL CloseComm();
int TW_STDCALL Authenticate();
int TW_STDCALL IsFingerPrintDevice();
int TW_STDCALL ReadBaseMsg(unsigned char* text, int flag);
int TW_STDCALL ReadBaseFPMsg(unsigned char* text, int* value, unsigned char* fingerprint, int* fingerprintLength);
int TW_STDCALL ReadIINSNDN(char* buffer);
int TW_STDCALL GetSAMIDToStr(char* buffer);
int TW_STDCALL SDT_StartFindIDCard(int port, unsigned char* buffer, int flag);
int TW_STDCALL SDT_SelectIDCard(int port, unsigned char* buffer, int flag);
int TW_STDCALL GetHIDCount();
int TW_STDCALL Routon_ShutDownAntenna();
}
