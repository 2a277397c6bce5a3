// The reader's management commands (command byte 0x80) behind the RS232_ and HID_ exports. One
// table describes them; each function below only packs its arguments and reads its outputs.
// Each returns a Result; the exports turn it into their number.
#pragma once

#include "command.h"

namespace vnsdt {

Result GetVersion(Link link, int port, unsigned char* out, int openFlag);
Result ReadBarCode(Link link, int port, const unsigned char* data, int len, unsigned char* out, int openFlag);
Result SetDeviceNo(Link link, int port, const unsigned char* data, int len, int openFlag);
Result GetDeviceNo(Link link, int port, unsigned char* out, int openFlag);
Result SetServerAddress(Link link, int port, int number, const unsigned char* address, int len, int openFlag);
Result GetServerAddress(Link link, int port, int* number, unsigned char* address, int* len, int openFlag);
Result SetInstallAddress(Link link, int port, const unsigned char* data, int len, int openFlag);
Result GetInstallAddress(Link link, int port, unsigned char* out, int* len, int openFlag);
Result LEDBuzzerControl(Link link, int port, int a, int b, int value, int openFlag);
Result LEDControl(Link link, int port, int a, int b, int value, int openFlag);
Result SetControlType(Link link, int port, int type, int openFlag);
Result SetBluetoothName(Link link, int port, const unsigned char* name, int len, int openFlag);
Result SetBluetoothShutdownTime(Link link, int port, int time, int openFlag);
Result GetImage(Link link, int port, int t, int* first, int* second, int* third, int openFlag);
Result UploadImage(Link link, int port, int n, unsigned char* out, int* len, int openFlag);
Result Feature(Link link, int port, int t, int openFlag);
Result Verify(Link link, int port, int* value, int openFlag);
Result TCSInit(Link link, int port, int openFlag);
Result LowPower(Link link, int port, int value, int openFlag);
Result GetAndUploadFeature(Link link, int port, int t, unsigned char* out, int openFlag);
Result DownloadUserInfo(Link link, int port, const unsigned char* id, int idLen, const unsigned char* info, int infoLen,
                        int kind, const unsigned char* block, int openFlag);
Result DeleteAllUser(Link link, int port, int openFlag);
Result SearchUser(Link link, int port, int t, int* kind, unsigned char* id, unsigned char* info, int openFlag);
Result OneKeyVerify(Link link, int port, int t, int* value, int openFlag);
Result SearchUserByIDCard(Link link, int port, int t, int* kind, unsigned char* id, unsigned char* info, int openFlag);
Result SetFindcardPeriod(Link link, int port, int period, int openFlag);
Result SetDeviceShutdownTime(Link link, int port, int time, int openFlag);
Result HeartBeat(Link link, int port, int* state, int openFlag);
Result GetUserCount(Link link, int port, int* count, int openFlag);
Result GetUserInfo(Link link, int port, int start, int count, unsigned char* out, int openFlag);
Result SetBoot(Link link, int port, int openFlag);
Result UpdateSize(Link link, int port, int size, int openFlag);
Result SendPacket(Link link, int port, int number, const unsigned char* data, int len, int openFlag);
Result UpdateEnd(Link link, int port, int value, int openFlag);
Result QueryFunction(Link link, int port, const unsigned char* data, int len, unsigned char* out, int* outLen,
                     int openFlag);

}  // namespace vnsdt
