// The RS232_ and HID_ exports of the ID-card commands: each names its transport and hands over.
#include "card_commands.h"
#include "export_pair.h"

using vnsdt::CommandResult;
using vnsdt::Link;

VNSDTAPI int VNSDTAPI_CALL RS232_GetSAMStatus(int port, int, int) {
  return CommandResult(Link::Serial, vnsdt::GetSAMStatus(Link::Serial, port, 0));
}
VNSDTAPI int VNSDTAPI_CALL HID_GetSAMStatus(int port, int openFlag) {
  return CommandResult(Link::Hid, vnsdt::GetSAMStatus(Link::Hid, port, openFlag));
}
VNSDTAPI int VNSDTAPI_CALL RS232_ReSetSAM(int port, int, int) {
  return CommandResult(Link::Serial, vnsdt::ReSetSAM(Link::Serial, port, 0));
}
VNSDTAPI int VNSDTAPI_CALL HID_ReSetSAM(int port, int openFlag) {
  return CommandResult(Link::Hid, vnsdt::ReSetSAM(Link::Hid, port, openFlag));
}
VNSDTAPI int VNSDTAPI_CALL HID_ReadMngInfo(int port, unsigned char* buffer, int openFlag) {
  return CommandResult(Link::Hid, vnsdt::ReadMngInfo(Link::Hid, port, buffer, openFlag));
}

TW_EXPORT_PAIR(GetSAMID, (int port, unsigned char* id, int openFlag), TW_ARGS(port, id, openFlag))
TW_EXPORT_PAIR(GetSAMIDToStr, (int port, char* text, int openFlag), TW_ARGS(port, text, openFlag))
TW_EXPORT_PAIR(StartFindIDCard, (int port, unsigned int* value, int openFlag), TW_ARGS(port, value, openFlag))
TW_EXPORT_PAIR(SelectIDCard, (int port, unsigned char* info, int openFlag), TW_ARGS(port, info, openFlag))
TW_EXPORT_PAIR(ReadBaseMsg,
               (int port, unsigned char* text, int* textLength, unsigned char* photo, int* photoLength, int openFlag),
               TW_ARGS(port, text, textLength, photo, photoLength, openFlag))
TW_EXPORT_PAIR(ReadBaseFPMsg,
               (int port, unsigned char* text, int* textLength, unsigned char* photo, int* photoLength,
                unsigned char* fingerprint, int* fingerprintLength, int openFlag),
               TW_ARGS(port, text, textLength, photo, photoLength, fingerprint, fingerprintLength, openFlag))
TW_EXPORT_PAIR(ReadNewAppMsg, (int port, unsigned char* buffer, int* length, int openFlag),
               TW_ARGS(port, buffer, length, openFlag))
TW_EXPORT_PAIR(ReadCardNo, (int port, char* text, int* length, int openFlag), TW_ARGS(port, text, length, openFlag))
TW_EXPORT_PAIR(RestPSAM, (int port, int slot, unsigned char* buffer, int* length, int openFlag),
               TW_ARGS(port, slot, buffer, length, openFlag))
TW_EXPORT_PAIR(ReadWritePSAM,
               (int port, int slot, const unsigned char* command, int count, unsigned char* buffer, int* length,
                int openFlag),
               TW_ARGS(port, slot, command, count, buffer, length, openFlag))
TW_EXPORT_PAIR(StartFindCardByType, (int port, int type, unsigned char* buffer, int openFlag),
               TW_ARGS(port, type, buffer, openFlag))
TW_EXPORT_PAIR(SelectIDCardByType, (int port, int type, unsigned char* buffer, int openFlag),
               TW_ARGS(port, type, buffer, openFlag))
TW_EXPORT_PAIR(ReadUID, (int port, int type, char* text, int* length, int openFlag),
               TW_ARGS(port, type, text, length, openFlag))
TW_EXPORT_PAIR(KeyAuthentication, (int port, int keyParameter, const unsigned char* key, int openFlag),
               TW_ARGS(port, keyParameter, key, openFlag))
TW_EXPORT_PAIR(KeyModify,
               (int port, int keyParameter, const unsigned char* key, const unsigned char* newKey, int openFlag),
               TW_ARGS(port, keyParameter, key, newKey, openFlag))
TW_EXPORT_PAIR(ReadBaseMsgTypeA, (int port, int address, int count, unsigned char* buffer, int* length, int openFlag),
               TW_ARGS(port, address, count, buffer, length, openFlag))
TW_EXPORT_PAIR(WriteBaseMsgTypeA, (int port, int address, const unsigned char* bytes, int count, int openFlag),
               TW_ARGS(port, address, bytes, count, openFlag))
TW_EXPORT_PAIR(KeyAuthenticationEx, (int port, int selector, int keyParameter, const unsigned char* key, int openFlag),
               TW_ARGS(port, selector, keyParameter, key, openFlag))
TW_EXPORT_PAIR(KeyModifyEx,
               (int port, int selector, int keyParameter, const unsigned char* key, const unsigned char* newKey,
                int openFlag),
               TW_ARGS(port, selector, keyParameter, key, newKey, openFlag))
TW_EXPORT_PAIR(ReadBaseMsgTypeAEx,
               (int port, int selector, int address, int count, unsigned char* buffer, int* length, int openFlag),
               TW_ARGS(port, selector, address, count, buffer, length, openFlag))
TW_EXPORT_PAIR(WriteBaseMsgTypeAEx,
               (int port, int selector, int address, const unsigned char* bytes, int count, int openFlag),
               TW_ARGS(port, selector, address, bytes, count, openFlag))
TW_EXPORT_PAIR(APDU,
               (int port, const unsigned char* command, int count, unsigned char* buffer, int* length, int openFlag),
               TW_ARGS(port, command, count, buffer, length, openFlag))
