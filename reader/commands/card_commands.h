// The ID-card commands behind the RS232_ and HID_ exports, one per command for both transports.
#pragma once

#include "command.h"

namespace vnsdt {

int GetSAMStatus(Link link, int port, int openFlag);
int ReSetSAM(Link link, int port, int openFlag);
int GetSAMID(Link link, int port, unsigned char* id, int openFlag);
int GetSAMIDToStr(Link link, int port, char* text, int openFlag);
int StartFindIDCard(Link link, int port, unsigned int* value, int openFlag);
int SelectIDCard(Link link, int port, unsigned char* info, int openFlag);
int ReadBaseMsg(Link link, int port, unsigned char* text, int* textLength, unsigned char* photo, int* photoLength,
                int openFlag);
int ReadBaseFPMsg(Link link, int port, unsigned char* text, int* textLength, unsigned char* photo, int* photoLength,
                  unsigned char* fingerprint, int* fingerprintLength, int openFlag);
int ReadNewAppMsg(Link link, int port, unsigned char* buffer, int* length, int openFlag);
int ReadMngInfo(Link link, int port, unsigned char* buffer, int openFlag);
int ReadCardNo(Link link, int port, char* text, int* length, int openFlag);
int RestPSAM(Link link, int port, int slot, unsigned char* buffer, int* length, int openFlag);
int ReadWritePSAM(Link link, int port, int slot, const unsigned char* command, int count, unsigned char* buffer,
                  int* length, int openFlag);
int StartFindCardByType(Link link, int port, int type, unsigned char* buffer, int openFlag);
int SelectIDCardByType(Link link, int port, int type, unsigned char* buffer, int openFlag);
int ReadUID(Link link, int port, int type, char* text, int* length, int openFlag);
int KeyAuthentication(Link link, int port, int keyParameter, const unsigned char* key, int openFlag);
int KeyModify(Link link, int port, int keyParameter, const unsigned char* key, const unsigned char* newKey,
              int openFlag);
int ReadBaseMsgTypeA(Link link, int port, int address, int count, unsigned char* buffer, int* length, int openFlag);
int WriteBaseMsgTypeA(Link link, int port, int address, const unsigned char* bytes, int count, int openFlag);
int KeyAuthenticationEx(Link link, int port, int selector, int keyParameter, const unsigned char* key, int openFlag);
int KeyModifyEx(Link link, int port, int selector, int keyParameter, const unsigned char* key,
                const unsigned char* newKey, int openFlag);
int ReadBaseMsgTypeAEx(Link link, int port, int selector, int address, int count, unsigned char* buffer, int* length,
                       int openFlag);
int WriteBaseMsgTypeAEx(Link link, int port, int selector, int address, const unsigned char* bytes, int count,
                        int openFlag);
int APDU(Link link, int port, const unsigned char* command, int count, unsigned char* buffer, int* length,
         int openFlag);

}  // namespace vnsdt
