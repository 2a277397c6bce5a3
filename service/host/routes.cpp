#include "host.h"
#include "http/http.h"
#include "http/local_routes.h"
#include "idcard/idcard_routes.h"
#include "usbkey/usbkey_routes.h"

// Route-table order; device families join as they are built. Until then their paths answer
// as unregistered.
void RegisterRoutes(Tarnwick& server) {
  server.AddHandler("/Local/GetVersion", handle_Local_GetVersion);
  server.AddHandler("/Local/Debug", handle_Local_Debug);
  server.AddHandler("/VnSdt_api/OpenPort", handle_HID_OpenPort);
  server.AddHandler("/VnSdt_api/ClosePort", handle_HID_ClosePort);
  server.AddHandler("/VnSdt_api/ReadBaseMsg", handle_HID_ReadBaseMsg);
  server.AddHandler("/VnSdt_api/GetSAMID", handle_HID_GetSAMID);
  server.AddHandler("/VnSdt_api/GetCardNo", handle_HID_GetCardNo);
  server.AddHandler("/VnUsbKey_Api/GetReaderName", handle_VN_USBKEY_GetReaderName);
  server.AddHandler("/VnUsbKey_Api/GetSerialNum", handle_VN_USBKEY_GetSerialNumber);
  server.AddHandler("/VnUsbKey_Api/FactoryInit", handle_VN_USBKEY_FactoryInit);
  server.AddHandler("/VnUsbKey_Api/Format", handle_VN_USBKEY_Format);
  server.AddHandler("/VnUsbKey_Api/Erase", handle_VN_USBKEY_Erase);
  server.AddHandler("/VnUsbKey_Api/CheckPassword", handle_VN_USBKEY_CheckPassword);
  server.AddHandler("/VnUsbKey_Api/ResetPassword", handle_VN_USBKEY_ResetPassword);
  server.AddHandler("/VnUsbKey_Api/WriteCertPassword", handle_VN_USBKEY_WriteCertPassword);
  server.AddHandler("/VnUsbKey_Api/ReadCertPassword", handle_VN_USBKEY_ReadCertPassword);
  server.AddHandler("/VnUsbKey_Api/WriteCertificate", handle_VN_USBKEY_WriteCertificate);
  server.AddHandler("/VnUsbKey_Api/ReadCertificate", handle_VN_USBKEY_ReadCertificate);
  server.AddHandler("/VnUsbKey_Api/WriteSignature", handle_VN_USBKEY_WriteSignature);
  server.AddHandler("/VnUsbKey_Api/ReadSignature", handle_VN_USBKEY_ReadSignature);
  server.AddHandler("/VnUsbKey_Api/DOSIGN", handle_VN_USBKEY_DOSIGN);
  server.AddHandler("/test", handle_test);
}
