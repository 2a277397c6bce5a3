// The USB-key routes "/VnUsbKey_Api/...". Each asks the key library whether a key is ready
// (USBKey_Init_HS) and only then makes its one library call; numeric answers carry the library's
// result minus 1, text answers the library's text in the ANSI code page (UTF-8 on Linux).
#pragma once

#include <string>

#include "http/http.h"

bool handle_VN_USBKEY_GetReaderName(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_GetSerialNumber(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_FactoryInit(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_Format(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_Erase(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_CheckPassword(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_ResetPassword(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_WriteCertPassword(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_ReadCertPassword(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_WriteCertificate(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_ReadCertificate(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_WriteSignature(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_ReadSignature(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_VN_USBKEY_DOSIGN(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
