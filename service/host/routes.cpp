#include "cardterminal/cardterminal_routes.h"
#include "host.h"
#include "http/http.h"
#include "http/local_routes.h"
#include "idcard/idcard_routes.h"
#include "signature/signature_routes.h"
#include "usbkey/usbkey_routes.h"

// Route-table order.
void RegisterRoutes(Tarnwick& server) {
  server.AddHandler("/Local/GetVersion", handle_Local_GetVersion);
  server.AddHandler("/Local/Debug", handle_Local_Debug);
  server.AddHandler("/VnSdt_api/OpenPort", handle_HID_OpenPort, Family::IdCard);
  server.AddHandler("/VnSdt_api/ClosePort", handle_HID_ClosePort, Family::IdCard);
  server.AddHandler("/VnSdt_api/ReadBaseMsg", handle_HID_ReadBaseMsg, Family::IdCard);
  server.AddHandler("/VnSdt_api/GetSAMID", handle_HID_GetSAMID, Family::IdCard);
  server.AddHandler("/VnSdt_api/GetCardNo", handle_HID_GetCardNo, Family::IdCard);
  server.AddHandler("/Jrs_Api/JrsCardGetDllVer", handle_JRS_CARD_GetDllVer, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardCommOpen", handle_JRS_CARD_CommOpen, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardCommClose", handle_JRS_CARD_CommClose, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardCommandEx", handle_JRS_CARD_CommandEx, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardCommRead", handle_JRS_CARD_CommRead, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardCommWriteEx", handle_JRS_CARD_CommWriteEx, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardGetDataStrEx", handle_JRS_CARD_GetDataStrEx, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardDataRead", handle_JRS_CARD_DataRead, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardCmdRead", handle_JRS_CARD_CmdRead, Family::Terminal);
  server.AddHandler("/Jrs_Api/JrsCardGetFprImage", handle_JRS_CARD_GetFprImage, Family::Terminal);
  server.AddHandler("/VnUsbKey_Api/GetReaderName", handle_VN_USBKEY_GetReaderName, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/GetSerialNum", handle_VN_USBKEY_GetSerialNumber, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/FactoryInit", handle_VN_USBKEY_FactoryInit, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/Format", handle_VN_USBKEY_Format, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/Erase", handle_VN_USBKEY_Erase, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/CheckPassword", handle_VN_USBKEY_CheckPassword, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/ResetPassword", handle_VN_USBKEY_ResetPassword, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/WriteCertPassword", handle_VN_USBKEY_WriteCertPassword, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/ReadCertPassword", handle_VN_USBKEY_ReadCertPassword, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/WriteCertificate", handle_VN_USBKEY_WriteCertificate, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/ReadCertificate", handle_VN_USBKEY_ReadCertificate, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/WriteSignature", handle_VN_USBKEY_WriteSignature, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/ReadSignature", handle_VN_USBKEY_ReadSignature, Family::UsbKey);
  server.AddHandler("/VnUsbKey_Api/DOSIGN", handle_VN_USBKEY_DOSIGN, Family::UsbKey);
  server.AddHandler("/test", handle_test);
  server.AddHandler("/Pemrik_Api/OpenDev", handle_Pemrik_openDev, Family::Signature);
  server.AddHandler("/Pemrik_Api/GetSign", handle_Pemrik_getSign, Family::Signature);
  server.AddHandler("/Pemrik_Api/CloseDev", handle_Pemrik_closeDev, Family::Signature);
  server.AddHandler("/Pemrik_Api/InitDev", handle_Pemrik_initDev, Family::Signature);
  server.AddHandler("/Pemrik_Api/QuitPMProc", handle_Pemrik_quitDev, Family::Signature);
  server.AddHandler("/Pemrik_Api/ClearDev", handle_Pemrik_clearDev, Family::Signature);
  server.AddHandler("/Pemrik_Api/GetConfirm", handle_Pemrik_confirmDev, Family::Signature);
}
