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

// ID-card commands. Outputs are written only on success; the length outputs of ReadNewAppMsg,
// ReadCardNo, the PSAM and Type A reads and ReadUID are set to 0 first. The serial exports take
// the open flag too and ignore it. Bounds: a reply whose text, photo or fingerprint length passes
// 256, 1024 or 1024 bytes, or whose card number or UID passes 512 or 64 bytes, or whose blocks
// pass the reply itself, is refused with -1 and nothing is copied. The caller's buffers must hold
// those sizes (hex strings twice the bytes, no terminating zero), 16 bytes for the SAM ID, 48 for
// its text, 8 for the select information, 28 for the management record, and all reply data
// (up to 4085 bytes) for the commands that deliver it. Negative counts are refused like counts
// that are too large: -1 (APDU over HID: 0).
TW_EXPORT int TW_STDCALL RS232_GetSAMStatus(int port, int ignored, int openFlag);
TW_EXPORT int TW_STDCALL HID_GetSAMStatus(int port, int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReSetSAM(int port, int ignored, int openFlag);
TW_EXPORT int TW_STDCALL HID_ReSetSAM(int port, int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadMngInfo(int port, unsigned char* buffer, int openFlag);
TW_EXPORT int TW_STDCALL RS232_GetSAMID(int port, unsigned char* id, int openFlag);
TW_EXPORT int TW_STDCALL HID_GetSAMID(int port, unsigned char* id, int openFlag);
TW_EXPORT int TW_STDCALL RS232_GetSAMIDToStr(int port, char* text, int openFlag);
TW_EXPORT int TW_STDCALL HID_GetSAMIDToStr(int port, char* text, int openFlag);
TW_EXPORT int TW_STDCALL RS232_StartFindIDCard(int port, unsigned int* value, int openFlag);
TW_EXPORT int TW_STDCALL HID_StartFindIDCard(int port, unsigned int* value, int openFlag);
TW_EXPORT int TW_STDCALL RS232_SelectIDCard(int port, unsigned char* info, int openFlag);
TW_EXPORT int TW_STDCALL HID_SelectIDCard(int port, unsigned char* info, int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReadBaseMsg(int port, unsigned char* text, int* textLength, unsigned char* photo,
                                           int* photoLength, int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadBaseMsg(int port, unsigned char* text, int* textLength, unsigned char* photo,
                                         int* photoLength, int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReadBaseFPMsg(int port, unsigned char* text, int* textLength, unsigned char* photo,
                                             int* photoLength, unsigned char* fingerprint, int* fingerprintLength,
                                             int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadBaseFPMsg(int port, unsigned char* text, int* textLength, unsigned char* photo,
                                           int* photoLength, unsigned char* fingerprint, int* fingerprintLength,
                                           int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReadNewAppMsg(int port, unsigned char* buffer, int* length, int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadNewAppMsg(int port, unsigned char* buffer, int* length, int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReadCardNo(int port, char* text, int* length, int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadCardNo(int port, char* text, int* length, int openFlag);
TW_EXPORT int TW_STDCALL RS232_RestPSAM(int port, int slot, unsigned char* buffer, int* length, int openFlag);
TW_EXPORT int TW_STDCALL HID_RestPSAM(int port, int slot, unsigned char* buffer, int* length, int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReadWritePSAM(int port, int slot, const unsigned char* command, int count,
                                             unsigned char* buffer, int* length, int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadWritePSAM(int port, int slot, const unsigned char* command, int count,
                                           unsigned char* buffer, int* length, int openFlag);
TW_EXPORT int TW_STDCALL RS232_StartFindCardByType(int port, int type, unsigned char* buffer, int openFlag);
TW_EXPORT int TW_STDCALL HID_StartFindCardByType(int port, int type, unsigned char* buffer, int openFlag);
TW_EXPORT int TW_STDCALL RS232_SelectIDCardByType(int port, int type, unsigned char* buffer, int openFlag);
TW_EXPORT int TW_STDCALL HID_SelectIDCardByType(int port, int type, unsigned char* buffer, int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReadUID(int port, int type, char* text, int* length, int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadUID(int port, int type, char* text, int* length, int openFlag);
TW_EXPORT int TW_STDCALL RS232_KeyAuthentication(int port, int keyParameter, const unsigned char* key, int openFlag);
TW_EXPORT int TW_STDCALL HID_KeyAuthentication(int port, int keyParameter, const unsigned char* key, int openFlag);
TW_EXPORT int TW_STDCALL RS232_KeyModify(int port, int keyParameter, const unsigned char* key,
                                         const unsigned char* newKey, int openFlag);
TW_EXPORT int TW_STDCALL HID_KeyModify(int port, int keyParameter, const unsigned char* key,
                                       const unsigned char* newKey, int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReadBaseMsgTypeA(int port, int address, int count, unsigned char* buffer, int* length,
                                                int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadBaseMsgTypeA(int port, int address, int count, unsigned char* buffer, int* length,
                                              int openFlag);
TW_EXPORT int TW_STDCALL RS232_WriteBaseMsgTypeA(int port, int address, const unsigned char* bytes, int count,
                                                 int openFlag);
TW_EXPORT int TW_STDCALL HID_WriteBaseMsgTypeA(int port, int address, const unsigned char* bytes, int count,
                                               int openFlag);
TW_EXPORT int TW_STDCALL RS232_KeyAuthenticationEx(int port, int selector, int keyParameter, const unsigned char* key,
                                                   int openFlag);
TW_EXPORT int TW_STDCALL HID_KeyAuthenticationEx(int port, int selector, int keyParameter, const unsigned char* key,
                                                 int openFlag);
TW_EXPORT int TW_STDCALL RS232_KeyModifyEx(int port, int selector, int keyParameter, const unsigned char* key,
                                           const unsigned char* newKey, int openFlag);
TW_EXPORT int TW_STDCALL HID_KeyModifyEx(int port, int selector, int keyParameter, const unsigned char* key,
                                         const unsigned char* newKey, int openFlag);
TW_EXPORT int TW_STDCALL RS232_ReadBaseMsgTypeAEx(int port, int selector, int address, int count, unsigned char* buffer,
                                                  int* length, int openFlag);
TW_EXPORT int TW_STDCALL HID_ReadBaseMsgTypeAEx(int port, int selector, int address, int count, unsigned char* buffer,
                                                int* length, int openFlag);
TW_EXPORT int TW_STDCALL RS232_WriteBaseMsgTypeAEx(int port, int selector, int address, const unsigned char* bytes,
                                                   int count, int openFlag);
TW_EXPORT int TW_STDCALL HID_WriteBaseMsgTypeAEx(int port, int selector, int address, const unsigned char* bytes,
                                                 int count, int openFlag);
TW_EXPORT int TW_STDCALL RS232_APDU(int port, const unsigned char* command, int count, unsigned char* buffer,
                                    int* length, int openFlag);
TW_EXPORT int TW_STDCALL HID_APDU(int port, const unsigned char* command, int count, unsigned char* buffer, int* length,
                                  int openFlag);

// Card data decoding.
// The text block (256 bytes, at least 220) into the 300-byte GBK record: name 0, sex text 32,
// nation text 40, birth 60, address 72, ID number 144, authority 164, validity 196 and 208,
// reserved 220 (zero), sex code 292, nation code 296. A field too long for its slot is cut at a
// character boundary and stays NUL-terminated. 1, or -1 without text, record or 220 bytes.
TW_EXPORT int TW_STDCALL DecodeWZData(const unsigned char* text, unsigned int length, unsigned char* record);
// The 1024-byte photo block into a 38862-byte BMP (type 1) or its 51816-character Base64 text
// (type 2) in `buffer` (capacity in *length, bytes delivered on return) and/or the file `path`
// (ANSI code page). Needs the decoder library DLL_File beside the program. 1 on success; 0, -1
// to -11 on failure (-1: no decoder; -2: missing argument; -5/-8: buffer too small).
TW_EXPORT int TW_STDCALL DecodeWltData(const unsigned char* wlt, int type, const char* path, unsigned char* buffer,
                                       int* length);
