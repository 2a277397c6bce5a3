// The ID-card commands behind the RS232_ and HID_ exports, one per command for both transports.
// Each returns a Result; the exports turn it into their number.
#pragma once

#include "command.h"

namespace vnsdt {

Result GetSAMStatus(Link link, int port, int openFlag);
Result ReSetSAM(Link link, int port, int openFlag);
Result GetSAMID(Link link, int port, unsigned char* id, int openFlag);
Result GetSAMIDToStr(Link link, int port, char* text, int openFlag);
Result StartFindIDCard(Link link, int port, unsigned int* value, int openFlag);
Result SelectIDCard(Link link, int port, unsigned char* info, int openFlag);
Result ReadBaseMsg(Link link, int port, unsigned char* text, int* textLength, unsigned char* photo, int* photoLength,
                   int openFlag);
Result ReadBaseFPMsg(Link link, int port, unsigned char* text, int* textLength, unsigned char* photo, int* photoLength,
                     unsigned char* fingerprint, int* fingerprintLength, int openFlag);
Result ReadNewAppMsg(Link link, int port, unsigned char* buffer, int* length, int openFlag);
Result ReadMngInfo(Link link, int port, unsigned char* buffer, int openFlag);
Result ReadCardNo(Link link, int port, char* text, int* length, int openFlag);
Result RestPSAM(Link link, int port, int slot, unsigned char* buffer, int* length, int openFlag);
Result ReadWritePSAM(Link link, int port, int slot, const unsigned char* command, int count, unsigned char* buffer,
                     int* length, int openFlag);
Result StartFindCardByType(Link link, int port, int type, unsigned char* buffer, int openFlag);
Result SelectIDCardByType(Link link, int port, int type, unsigned char* buffer, int openFlag);
Result ReadUID(Link link, int port, int type, char* text, int* length, int openFlag);
Result KeyAuthentication(Link link, int port, int keyParameter, const unsigned char* key, int openFlag);
Result KeyModify(Link link, int port, int keyParameter, const unsigned char* key, const unsigned char* newKey,
                 int openFlag);
Result ReadBaseMsgTypeA(Link link, int port, int address, int count, unsigned char* buffer, int* length, int openFlag);
Result WriteBaseMsgTypeA(Link link, int port, int address, const unsigned char* bytes, int count, int openFlag);
Result KeyAuthenticationEx(Link link, int port, int selector, int keyParameter, const unsigned char* key, int openFlag);
Result KeyModifyEx(Link link, int port, int selector, int keyParameter, const unsigned char* key,
                   const unsigned char* newKey, int openFlag);
Result ReadBaseMsgTypeAEx(Link link, int port, int selector, int address, int count, unsigned char* buffer, int* length,
                          int openFlag);
Result WriteBaseMsgTypeAEx(Link link, int port, int selector, int address, const unsigned char* bytes, int count,
                           int openFlag);
Result APDU(Link link, int port, const unsigned char* command, int count, unsigned char* buffer, int* length,
            int openFlag);

}  // namespace vnsdt
