// vnsdtapi: the ID-card reader library. Commands travel in one frame format over a serial line
// (RS232_ exports, COM ports 1..16) or USB HID (HID_ exports, ports 1001..1016 = the first,
// second, ... reader found). Results: 0 port out of range, 1 no HID device, -1 transfer
// failure, otherwise the reader's status byte SW3 (144 = success).
//
// Bounds: a reply whose length field claims more than the reply buffer (4096 bytes; 1024 for
// the find-card command) is treated as a failed read (-1); nothing is copied past a buffer.
//
// Self-contained for outside callers, C or C++: on Windows the functions use the standard
// calling convention and are exported under exactly these names (vnsdtapi.def).
#pragma once

#if defined(_WIN32)
#define VNSDTAPI_CALL __stdcall
#define VNSDTAPI_VISIBLE
#else
#define VNSDTAPI_CALL
#define VNSDTAPI_VISIBLE __attribute__((visibility("default")))
#endif
#if defined(__cplusplus)
#define VNSDTAPI extern "C" VNSDTAPI_VISIBLE
#else
#define VNSDTAPI extern VNSDTAPI_VISIBLE
#endif

// The results the exports answer with besides the reader's other status bytes.
enum {
  VNSDTAPI_SUCCESS = 144,       // SW3 0x90: the command succeeded (and the port opened or closed)
  VNSDTAPI_FIND_SUCCESS = 159,  // SW3 0x9F: StartFindIDCard found a card
  VNSDTAPI_PORT_OUT_OF_RANGE = 0,
  VNSDTAPI_NO_HID_DEVICE = 1,
  VNSDTAPI_TRANSFER_FAILED = -1
};

VNSDTAPI int VNSDTAPI_CALL RS232_OpenPort(int port);
VNSDTAPI int VNSDTAPI_CALL RS232_ClosePort(int port);
VNSDTAPI int VNSDTAPI_CALL HID_SetTransType(int type);
VNSDTAPI int VNSDTAPI_CALL HID_GetCount();
VNSDTAPI int VNSDTAPI_CALL HID_OpenPort(int port);
VNSDTAPI int VNSDTAPI_CALL HID_ClosePort(int port);

// ID-card commands. Outputs are written only on success; the length outputs of ReadNewAppMsg,
// ReadCardNo, the PSAM and Type A reads and ReadUID are set to 0 first. The serial exports take
// the open flag too and ignore it. Bounds: a reply whose text, photo or fingerprint length passes
// 256, 1024 or 1024 bytes, or whose card number or UID passes 512 or 64 bytes, or whose blocks
// pass the reply itself, is refused with -1 and nothing is copied. The caller's buffers must hold
// those sizes (hex strings twice the bytes, no terminating zero), 16 bytes for the SAM ID, 48 for
// its text, 8 for the select information, 28 for the management record, and all reply data
// (up to 4085 bytes) for the commands that deliver it. Negative counts are refused like counts
// that are too large: -1 (APDU over HID: 0).
VNSDTAPI int VNSDTAPI_CALL RS232_GetSAMStatus(int port, int ignored, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetSAMStatus(int port, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReSetSAM(int port, int ignored, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReSetSAM(int port, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadMngInfo(int port, unsigned char* buffer, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetSAMID(int port, unsigned char* id, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetSAMID(int port, unsigned char* id, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetSAMIDToStr(int port, char* text, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetSAMIDToStr(int port, char* text, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_StartFindIDCard(int port, unsigned int* value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_StartFindIDCard(int port, unsigned int* value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SelectIDCard(int port, unsigned char* info, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SelectIDCard(int port, unsigned char* info, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadBaseMsg(int port, unsigned char* text, int* textLength, unsigned char* photo,
                                             int* photoLength, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadBaseMsg(int port, unsigned char* text, int* textLength, unsigned char* photo,
                                           int* photoLength, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadBaseFPMsg(int port, unsigned char* text, int* textLength, unsigned char* photo,
                                               int* photoLength, unsigned char* fingerprint, int* fingerprintLength,
                                               int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadBaseFPMsg(int port, unsigned char* text, int* textLength, unsigned char* photo,
                                             int* photoLength, unsigned char* fingerprint, int* fingerprintLength,
                                             int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadNewAppMsg(int port, unsigned char* buffer, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadNewAppMsg(int port, unsigned char* buffer, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadCardNo(int port, char* text, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadCardNo(int port, char* text, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_RestPSAM(int port, int slot, unsigned char* buffer, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_RestPSAM(int port, int slot, unsigned char* buffer, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadWritePSAM(int port, int slot, const unsigned char* command, int count,
                                               unsigned char* buffer, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadWritePSAM(int port, int slot, const unsigned char* command, int count,
                                             unsigned char* buffer, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_StartFindCardByType(int port, int type, unsigned char* buffer, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_StartFindCardByType(int port, int type, unsigned char* buffer, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SelectIDCardByType(int port, int type, unsigned char* buffer, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SelectIDCardByType(int port, int type, unsigned char* buffer, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadUID(int port, int type, char* text, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadUID(int port, int type, char* text, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_KeyAuthentication(int port, int keyParameter, const unsigned char* key, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_KeyAuthentication(int port, int keyParameter, const unsigned char* key, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_KeyModify(int port, int keyParameter, const unsigned char* key,
                                           const unsigned char* newKey, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_KeyModify(int port, int keyParameter, const unsigned char* key,
                                         const unsigned char* newKey, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadBaseMsgTypeA(int port, int address, int count, unsigned char* buffer, int* length,
                                                  int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadBaseMsgTypeA(int port, int address, int count, unsigned char* buffer, int* length,
                                                int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_WriteBaseMsgTypeA(int port, int address, const unsigned char* bytes, int count,
                                                   int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_WriteBaseMsgTypeA(int port, int address, const unsigned char* bytes, int count,
                                                 int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_KeyAuthenticationEx(int port, int selector, int keyParameter, const unsigned char* key,
                                                     int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_KeyAuthenticationEx(int port, int selector, int keyParameter, const unsigned char* key,
                                                   int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_KeyModifyEx(int port, int selector, int keyParameter, const unsigned char* key,
                                             const unsigned char* newKey, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_KeyModifyEx(int port, int selector, int keyParameter, const unsigned char* key,
                                           const unsigned char* newKey, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadBaseMsgTypeAEx(int port, int selector, int address, int count,
                                                    unsigned char* buffer, int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadBaseMsgTypeAEx(int port, int selector, int address, int count, unsigned char* buffer,
                                                  int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_WriteBaseMsgTypeAEx(int port, int selector, int address, const unsigned char* bytes,
                                                     int count, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_WriteBaseMsgTypeAEx(int port, int selector, int address, const unsigned char* bytes,
                                                   int count, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_APDU(int port, const unsigned char* command, int count, unsigned char* buffer,
                                      int* length, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_APDU(int port, const unsigned char* command, int count, unsigned char* buffer,
                                    int* length, int openFlag);

// Management commands (command byte 0x80), each as RS232_ and HID_ with the same arguments; the
// serial exports ignore the open flag. Results as above; -1 also for a reply whose SW1 does not
// repeat the parameter byte where the reader must echo it, and for a reply of the wrong length.
// Outputs are written only for SW3 144, except for Verify, HeartBeat, GetUserCount and
// GetUserInfo, which read every reply. Output buffers must hold the reply data (at most 4085
// bytes; GetUserInfo 25 bytes per user); output numbers are ints. Fields of a reply shorter than
// a record (SearchUser: kind 1, id 18, info 6 bytes) read as zero past its data.
// Argument checks send nothing; every HID refusal is 0. Serial refusals: 0 for a value too large
// for its field, for too long a SetDeviceNo (32), SetServerAddress (114) or SetInstallAddress
// (116) and for a negative UpdateSize; -1 for too long a SetBluetoothName (16), SendPacket
// (1024), QueryFunction (255), DownloadUserInfo id (18) or info (6), and a kind above 255.
// A negative length, or a missing pointer for a length above 0, is refused as a length that is
// too large; ReadBarCode data above 1014 bytes (beyond one frame) and a missing DownloadUserInfo
// block are refused with -1 (HID 0).
// HID_GetAndUploadFeature reports the transport's own failures instead of -1: -2 sending failed,
// -3 no reply, a time-out or a reply without preamble, -4 the reply's SW1 is not 0x27.
// On Windows SearchUserByIDCard, HeartBeat, GetUserCount and GetUserInfo of both families are
// exported under their stdcall names (_HID_HeartBeat@12, ...); on Linux, where '@' marks symbol
// versions, under their plain names.
VNSDTAPI int VNSDTAPI_CALL RS232_GetVersion(int port, unsigned char* out, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetVersion(int port, unsigned char* out, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_ReadBarCode(int port, const unsigned char* data, int len, unsigned char* out,
                                             int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_ReadBarCode(int port, const unsigned char* data, int len, unsigned char* out,
                                           int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetDeviceNo(int port, const unsigned char* data, int len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetDeviceNo(int port, const unsigned char* data, int len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetDeviceNo(int port, unsigned char* out, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetDeviceNo(int port, unsigned char* out, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetServerAddress(int port, int number, const unsigned char* address, int len,
                                                  int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetServerAddress(int port, int number, const unsigned char* address, int len,
                                                int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetServerAddress(int port, int* number, unsigned char* address, int* len,
                                                  int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetServerAddress(int port, int* number, unsigned char* address, int* len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetInstallAddress(int port, const unsigned char* data, int len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetInstallAddress(int port, const unsigned char* data, int len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetInstallAddress(int port, unsigned char* out, int* len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetInstallAddress(int port, unsigned char* out, int* len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_LEDBuzzerControl(int port, int a, int b, int value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_LEDBuzzerControl(int port, int a, int b, int value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_LEDControl(int port, int a, int b, int value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_LEDControl(int port, int a, int b, int value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetControlType(int port, int type, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetControlType(int port, int type, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetBluetoothName(int port, const unsigned char* name, int len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetBluetoothName(int port, const unsigned char* name, int len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetBluetoothShutdownTime(int port, int time, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetBluetoothShutdownTime(int port, int time, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetImage(int port, int t, int* first, int* second, int* third, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetImage(int port, int t, int* first, int* second, int* third, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_UploadImage(int port, int n, unsigned char* out, int* len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_UploadImage(int port, int n, unsigned char* out, int* len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_Feature(int port, int t, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_Feature(int port, int t, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_Verify(int port, int* value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_Verify(int port, int* value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_TCSInit(int port, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_TCSInit(int port, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_LowPower(int port, int value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_LowPower(int port, int value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetAndUploadFeature(int port, int t, unsigned char* out, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetAndUploadFeature(int port, int t, unsigned char* out, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_DownloadUserInfo(int port, const unsigned char* id, int idLen,
                                                  const unsigned char* info, int infoLen, int kind,
                                                  const unsigned char* block, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_DownloadUserInfo(int port, const unsigned char* id, int idLen, const unsigned char* info,
                                                int infoLen, int kind, const unsigned char* block, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_DeleteAllUser(int port, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_DeleteAllUser(int port, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SearchUser(int port, int t, int* kind, unsigned char* id, unsigned char* info,
                                            int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SearchUser(int port, int t, int* kind, unsigned char* id, unsigned char* info,
                                          int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_OneKeyVerify(int port, int t, int* value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_OneKeyVerify(int port, int t, int* value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SearchUserByIDCard(int port, int t, int* kind, unsigned char* id, unsigned char* info,
                                                    int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SearchUserByIDCard(int port, int t, int* kind, unsigned char* id, unsigned char* info,
                                                  int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetFindcardPeriod(int port, int period, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetFindcardPeriod(int port, int period, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetDeviceShutdownTime(int port, int time, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetDeviceShutdownTime(int port, int time, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_HeartBeat(int port, int* state, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_HeartBeat(int port, int* state, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetUserCount(int port, int* count, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetUserCount(int port, int* count, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_GetUserInfo(int port, int start, int count, unsigned char* out, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_GetUserInfo(int port, int start, int count, unsigned char* out, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SetBoot(int port, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SetBoot(int port, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_UpdateSize(int port, int size, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_UpdateSize(int port, int size, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_SendPacket(int port, int number, const unsigned char* data, int len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_SendPacket(int port, int number, const unsigned char* data, int len, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_UpdateEnd(int port, int value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_UpdateEnd(int port, int value, int openFlag);
VNSDTAPI int VNSDTAPI_CALL RS232_QueryFunction(int port, const unsigned char* data, int len, unsigned char* out,
                                               int* outLen, int openFlag);
VNSDTAPI int VNSDTAPI_CALL HID_QueryFunction(int port, const unsigned char* data, int len, unsigned char* out,
                                             int* outLen, int openFlag);

// Card data decoding.
// The text block (256 bytes, at least 220) into the 300-byte GBK record: name 0, sex text 32,
// nation text 40, birth 60, address 72, ID number 144, authority 164, validity 196 and 208,
// reserved 220 (zero), sex code 292, nation code 296. A field too long for its slot is cut at a
// character boundary and stays NUL-terminated. 1, or -1 without text, record or 220 bytes.
VNSDTAPI int VNSDTAPI_CALL DecodeWZData(const unsigned char* text, unsigned int length, unsigned char* record);
// The 1024-byte photo block into a 38862-byte BMP (type 1) or its 51816-character Base64 text
// (type 2) in `buffer` (capacity in *length, bytes delivered on return) and/or the file `path`
// (ANSI code page). Needs the decoder library DLL_File beside the program. 1 on success; 0, -1
// to -11 on failure (-1: no decoder; -2: missing argument; -5/-8: buffer too small).
VNSDTAPI int VNSDTAPI_CALL DecodeWltData(const unsigned char* wlt, int type, const char* path, unsigned char* buffer,
                                         int* length);

// Simulation only (TARNWICK_SIM=1): "card" 1/0 places or takes the card on the simulated readers,
// "plugged" 1/0 attaches or detaches them. 0 done; -1 for another setting or with simulation off.
VNSDTAPI int VNSDTAPI_CALL SimReader_Control(const char* setting, int value);
