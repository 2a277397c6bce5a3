// The ID-card routes: "/VnSdt_api/OpenPort", "ClosePort", "GetCardNo", "GetSAMID" and
// "ReadBaseMsg", over the reader family that OpenPort chose (reader_family.h).
#pragma once

#include <string>

#include "http/http.h"

bool handle_HID_OpenPort(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_HID_ClosePort(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_HID_GetCardNo(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_HID_GetSAMID(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_HID_ReadBaseMsg(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
