// The RS232_ and HID_ exports of the management commands.
#include "device_commands.h"
#include "export_pair.h"

TW_EXPORT_PAIR(GetVersion, (int port, unsigned char* out, int openFlag), TW_ARGS(port, out, openFlag))
TW_EXPORT_PAIR(ReadBarCode, (int port, const unsigned char* data, int len, unsigned char* out, int openFlag),
               TW_ARGS(port, data, len, out, openFlag))
TW_EXPORT_PAIR(SetDeviceNo, (int port, const unsigned char* data, int len, int openFlag),
               TW_ARGS(port, data, len, openFlag))
TW_EXPORT_PAIR(GetDeviceNo, (int port, unsigned char* out, int openFlag), TW_ARGS(port, out, openFlag))
TW_EXPORT_PAIR(SetServerAddress, (int port, int number, const unsigned char* address, int len, int openFlag),
               TW_ARGS(port, number, address, len, openFlag))
TW_EXPORT_PAIR(GetServerAddress, (int port, int* number, unsigned char* address, int* len, int openFlag),
               TW_ARGS(port, number, address, len, openFlag))
TW_EXPORT_PAIR(SetInstallAddress, (int port, const unsigned char* data, int len, int openFlag),
               TW_ARGS(port, data, len, openFlag))
TW_EXPORT_PAIR(GetInstallAddress, (int port, unsigned char* out, int* len, int openFlag),
               TW_ARGS(port, out, len, openFlag))
TW_EXPORT_PAIR(LEDBuzzerControl, (int port, int a, int b, int value, int openFlag),
               TW_ARGS(port, a, b, value, openFlag))
TW_EXPORT_PAIR(LEDControl, (int port, int a, int b, int value, int openFlag), TW_ARGS(port, a, b, value, openFlag))
TW_EXPORT_PAIR(SetControlType, (int port, int type, int openFlag), TW_ARGS(port, type, openFlag))
TW_EXPORT_PAIR(SetBluetoothName, (int port, const unsigned char* name, int len, int openFlag),
               TW_ARGS(port, name, len, openFlag))
TW_EXPORT_PAIR(SetBluetoothShutdownTime, (int port, int time, int openFlag), TW_ARGS(port, time, openFlag))
TW_EXPORT_PAIR(GetImage, (int port, int t, int* first, int* second, int* third, int openFlag),
               TW_ARGS(port, t, first, second, third, openFlag))
TW_EXPORT_PAIR(UploadImage, (int port, int n, unsigned char* out, int* len, int openFlag),
               TW_ARGS(port, n, out, len, openFlag))
TW_EXPORT_PAIR(Feature, (int port, int t, int openFlag), TW_ARGS(port, t, openFlag))
TW_EXPORT_PAIR(Verify, (int port, int* value, int openFlag), TW_ARGS(port, value, openFlag))
TW_EXPORT_PAIR(TCSInit, (int port, int openFlag), TW_ARGS(port, openFlag))
TW_EXPORT_PAIR(LowPower, (int port, int value, int openFlag), TW_ARGS(port, value, openFlag))
// Its callers tell a failed send, a missing reply and a wrong echo apart.
TW_EXPORT_PAIR_AS(GetAndUploadFeature, vnsdt::CommandResultWithTransportCodes,
                  (int port, int t, unsigned char* out, int openFlag), TW_ARGS(port, t, out, openFlag))
TW_EXPORT_PAIR(DownloadUserInfo,
               (int port, const unsigned char* id, int idLen, const unsigned char* info, int infoLen, int kind,
                const unsigned char* block, int openFlag),
               TW_ARGS(port, id, idLen, info, infoLen, kind, block, openFlag))
TW_EXPORT_PAIR(DeleteAllUser, (int port, int openFlag), TW_ARGS(port, openFlag))
TW_EXPORT_PAIR(SearchUser, (int port, int t, int* kind, unsigned char* id, unsigned char* info, int openFlag),
               TW_ARGS(port, t, kind, id, info, openFlag))
TW_EXPORT_PAIR(OneKeyVerify, (int port, int t, int* value, int openFlag), TW_ARGS(port, t, value, openFlag))
TW_EXPORT_PAIR(SearchUserByIDCard, (int port, int t, int* kind, unsigned char* id, unsigned char* info, int openFlag),
               TW_ARGS(port, t, kind, id, info, openFlag))
TW_EXPORT_PAIR(SetFindcardPeriod, (int port, int period, int openFlag), TW_ARGS(port, period, openFlag))
TW_EXPORT_PAIR(SetDeviceShutdownTime, (int port, int time, int openFlag), TW_ARGS(port, time, openFlag))
TW_EXPORT_PAIR(HeartBeat, (int port, int* state, int openFlag), TW_ARGS(port, state, openFlag))
TW_EXPORT_PAIR(GetUserCount, (int port, int* count, int openFlag), TW_ARGS(port, count, openFlag))
TW_EXPORT_PAIR(GetUserInfo, (int port, int start, int count, unsigned char* out, int openFlag),
               TW_ARGS(port, start, count, out, openFlag))
TW_EXPORT_PAIR(SetBoot, (int port, int openFlag), TW_ARGS(port, openFlag))
TW_EXPORT_PAIR(UpdateSize, (int port, int size, int openFlag), TW_ARGS(port, size, openFlag))
TW_EXPORT_PAIR(SendPacket, (int port, int number, const unsigned char* data, int len, int openFlag),
               TW_ARGS(port, number, data, len, openFlag))
TW_EXPORT_PAIR(UpdateEnd, (int port, int value, int openFlag), TW_ARGS(port, value, openFlag))
TW_EXPORT_PAIR(QueryFunction,
               (int port, const unsigned char* data, int len, unsigned char* out, int* outLen, int openFlag),
               TW_ARGS(port, data, len, out, outLen, openFlag))
