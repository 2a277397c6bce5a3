#include "cardterminal/cardterminal_routes.h"
#include "host.h"
#include "http/http.h"
#include "http/local_routes.h"
#include "idcard/idcard_routes.h"
#include "signature/signature_routes.h"
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
  server.AddHandler("/Jrs_Api/JrsCardGetDllVer", handle_JRS_CARD_GetDllVer);
  server.AddHandler("/Jrs_Api/JrsCardCommOpen", handle_JRS_CARD_CommOpen);
  server.AddHandler("/Jrs_Api/JrsCardCommClose", handle_JRS_CARD_CommClose);
  server.AddHandler("/Jrs_Api/JrsCardCommandEx", handle_JRS_CARD_CommandEx);
  server.AddHandler("/Jrs_Api/JrsCardCommRead", handle_JRS_CARD_CommRead);
  server.AddHandler("/Jrs_Api/JrsCardCommWriteEx", handle_JRS_CARD_CommWriteEx);
  server.AddHandler("/Jrs_Api/JrsCardGetDataStrEx", handle_JRS_CARD_GetDataStrEx);
  server.AddHandler("/Jrs_Api/JrsCardDataRead", handle_JRS_CARD_DataRead);
  server.AddHandler("/Jrs_Api/JrsCardCmdRead", handle_JRS_CARD_CmdRead);
  server.AddHandler("/Jrs_Api/JrsCardGetFprImage", handle_JRS_CARD_GetFprImage);
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
  server.AddHandler("/Pemrik_Api/OpenDev", handle_Pemrik_openDev);
  server.AddHandler("/Pemrik_Api/GetSign", handle_Pemrik_getSign);
  server.AddHandler("/Pemrik_Api/CloseDev", handle_Pemrik_closeDev);
  server.AddHandler("/Pemrik_Api/InitDev", handle_Pemrik_initDev);
  server.AddHandler("/Pemrik_Api/QuitPMProc", handle_Pemrik_quitDev);
  server.AddHandler("/Pemrik_Api/ClearDev", handle_Pemrik_clearDev);
  server.AddHandler("/Pemrik_Api/GetConfirm", handle_Pemrik_confirmDev);
}
