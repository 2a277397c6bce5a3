// The reader's management commands (command byte 0x80) behind the RS232_ and HID_ exports. One
// table describes them; each function below only packs its arguments and reads its outputs.
#pragma once

#include "command.h"

namespace vnsdt {

int GetVersion(Link link, int port, unsigned char* out, int openFlag);
int ReadBarCode(Link link, int port, const unsigned char* data, int len, unsigned char* out, int openFlag);
int SetDeviceNo(Link link, int port, const unsigned char* data, int len, int openFlag);
int GetDeviceNo(Link link, int port, unsigned char* out, int openFlag);
int SetServerAddress(Link link, int port, int number, const unsigned char* address, int len, int openFlag);
int GetServerAddress(Link link, int port, int* number, unsigned char* address, int* len, int openFlag);
int SetInstallAddress(Link link, int port, const unsigned char* data, int len, int openFlag);
int GetInstallAddress(Link link, int port, unsigned char* out, int* len, int openFlag);
int LEDBuzzerControl(Link link, int port, int a, int b, int value, int openFlag);
int LEDControl(Link link, int port, int a, int b, int value, int openFlag);
int SetControlType(Link link, int port, int type, int openFlag);
int SetBluetoothName(Link link, int port, const unsigned char* name, int len, int openFlag);
int SetBluetoothShutdownTime(Link link, int port, int time, int openFlag);
int GetImage(Link link, int port, int t, int* first, int* second, int* third, int openFlag);
int UploadImage(Link link, int port, int n, unsigned char* out, int* len, int openFlag);
int Feature(Link link, int port, int t, int openFlag);
int Verify(Link link, int port, int* value, int openFlag);
int TCSInit(Link link, int port, int openFlag);
int LowPower(Link link, int port, int value, int openFlag);
int GetAndUploadFeature(Link link, int port, int t, unsigned char* out, int openFlag);
int DownloadUserInfo(Link link, int port, const unsigned char* id, int idLen, const unsigned char* info, int infoLen,
                     int kind, const unsigned char* block, int openFlag);
int DeleteAllUser(Link link, int port, int openFlag);
int SearchUser(Link link, int port, int t, int* kind, unsigned char* id, unsigned char* info, int openFlag);
int OneKeyVerify(Link link, int port, int t, int* value, int openFlag);
int SearchUserByIDCard(Link link, int port, int t, int* kind, unsigned char* id, unsigned char* info, int openFlag);
int SetFindcardPeriod(Link link, int port, int period, int openFlag);
int SetDeviceShutdownTime(Link link, int port, int time, int openFlag);
int HeartBeat(Link link, int port, int* state, int openFlag);
int GetUserCount(Link link, int port, int* count, int openFlag);
int GetUserInfo(Link link, int port, int start, int count, unsigned char* out, int openFlag);
int SetBoot(Link link, int port, int openFlag);
int UpdateSize(Link link, int port, int size, int openFlag);
int SendPacket(Link link, int port, int number, const unsigned char* data, int len, int openFlag);
int UpdateEnd(Link link, int port, int value, int openFlag);
int QueryFunction(Link link, int port, const unsigned char* data, int len, unsigned char* out, int* outLen,
                  int openFlag);

}  // namespace vnsdt
