// The USB-key routes "/VnUsbKey_Api/...". Each asks the key library whether a key is ready
// (USBKey_Init_HS) and only then makes its one library call; numeric answers carry the library's
// result minus 1, text answers the library's text as UTF-8.
//
// The key's verified state (its PIN was given) belongs to the caller that gave the PIN, for
// kPinProofLifetime: only that caller may then change the PIN. A caller is the page's origin;
// programs, which send no Origin, are one caller; a browser request that names no origin (or the
// opaque "null") is nobody's and never holds it.
#pragma once

#include <chrono>
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

constexpr std::chrono::minutes kPinProofLifetime{5};
// Tests: the clock the proof's age is read from; null restores the steady clock.
void SetUsbKeyClockForTesting(std::chrono::steady_clock::time_point (*now)());
