// The ID-card routes: "/VnSdt_api/OpenPort", "ClosePort", "GetCardNo", "GetSAMID" and
// "ReadBaseMsg", over the own reader family (vnsdtapi) or the second family (SDTAPI, devtool).
#pragma once

#include <string>

#include "http/http.h"

// true: ClosePort, GetCardNo, GetSAMID and ReadBaseMsg use the second family. Set by OpenPort.
extern bool UseSdtapiReader;

bool handle_HID_OpenPort(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_HID_ClosePort(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_HID_GetCardNo(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_HID_GetSAMID(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_HID_ReadBaseMsg(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_HID_ReadBaseMsg(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JL_HID_ReadBaseMsg(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);

// The card number through devtool's command 0x05: 144 with the hex text in `text` (NUL-
// terminated, `capacity` bytes) and the byte count in `length`, else -1.
int DevtoolCardNumber(int port, int openFlag, char* text, size_t capacity, int* length);

// "Log/Photo/" + name + ".bmp" in the ANSI code page, at most 99 bytes: the name is cut at a
// character boundary, and characters that cannot stand in a file name become "_".
std::string PhotoPath(const std::u16string& name);
