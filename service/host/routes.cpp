#include <mutex>

#include "cardterminal/cardterminal_routes.h"
#include "event_sources.h"
#include "host.h"
#include "http/device_status.h"
#include "http/event_routes.h"
#include "http/http.h"
#include "http/local_routes.h"
#include "http/status_page.h"
#include "idcard/idcard_routes.h"
#include "platform/dynlib.h"
#include "platform/folders.h"
#include "platform/sim.h"
#include "platform/version.h"
#include "signature/signature_routes.h"
#include "usbkey/usbkey_routes.h"

namespace {

using Rule = device_status::AnswerRule;
using Success = Rule::Success;

// The libraries (and programs) beside the service as their files are named here, each with the
// version its file carries where it has one: "vnsdtapi.dll 1.0.0.0, SDTAPI.dll".
std::string Beside(std::initializer_list<const char*> windowsNames) {
  // Programs keep their ".exe" where this program has one; libraries take the platform's name.
  const std::string self = platform::ProgramPath();
  const bool exe = self.size() > 4 && self.compare(self.size() - 4, 4, ".exe") == 0;
  std::string text;
  for (const char* name : windowsNames) {
    const std::string_view windowsName(name);
    const bool program = windowsName.size() > 4 && windowsName.substr(windowsName.size() - 4) == ".exe";
    const std::string file = !program ? platform::DynLibFileName(name)
                             : exe    ? std::string(windowsName)
                                      : std::string(windowsName.substr(0, windowsName.size() - 4));
    const auto version = platform::FileVersionOf(platform::ProgramDirectory() + "/" + file);
    text += (text.empty() ? "" : ", ") + file + (version ? " " + *version : "");
  }
  return text;
}

// What each family's answers say about its device, for the status page and /metrics: the
// reader's 144 is success and 1 means no reader; the terminal's library fails below 0 and its
// open says whether the terminal answered; the key routes and the signature routes answer -1 on
// failure, and their first calls (reader name, serial number; start, tablet open) tell whether
// the key or the capture program and tablet are there.
void WatchDeviceAnswers() {
  const Rule reader{Family::IdCard, Success::Equal, 144, true, false, 1, false};
  for (const char* route : {"/VnSdt_api/ReadBaseMsg", "/VnSdt_api/GetSAMID", "/VnSdt_api/GetCardNo"}) {
    device_status::WatchRoute(route, reader);
  }
  const Rule terminal{Family::Terminal, Success::NonNegative, 0, false, false, 0, false};
  for (const char* route : {"/Jrs_Api/JrsCardCommClose", "/Jrs_Api/JrsCardCommandEx", "/Jrs_Api/JrsCardCommRead",
                            "/Jrs_Api/JrsCardCommWriteEx", "/Jrs_Api/JrsCardGetDataStrEx", "/Jrs_Api/JrsCardDataRead",
                            "/Jrs_Api/JrsCardCmdRead", "/Jrs_Api/JrsCardGetFprImage"}) {
    device_status::WatchRoute(route, terminal);
  }
  device_status::WatchRoute("/Jrs_Api/JrsCardCommOpen",
                            Rule{Family::Terminal, Success::NonNegative, 0, true, true, 0, false});
  device_status::WatchRoute("/Jrs_Api/JrsCardGetDllVer",
                            Rule{Family::Terminal, Success::Equal, 0, false, false, 0, true});
  const Rule key{Family::UsbKey, Success::NonNegative, 0, false, false, 0, false};
  for (const char* route :
       {"/VnUsbKey_Api/FactoryInit", "/VnUsbKey_Api/Format", "/VnUsbKey_Api/Erase", "/VnUsbKey_Api/CheckPassword",
        "/VnUsbKey_Api/ResetPassword", "/VnUsbKey_Api/WriteCertPassword", "/VnUsbKey_Api/ReadCertPassword",
        "/VnUsbKey_Api/WriteCertificate", "/VnUsbKey_Api/ReadCertificate", "/VnUsbKey_Api/WriteSignature",
        "/VnUsbKey_Api/ReadSignature", "/VnUsbKey_Api/DOSIGN"}) {
    device_status::WatchRoute(route, key);
  }
  const Rule keyPresence{Family::UsbKey, Success::NonNegative, 0, true, true, 0, false};
  device_status::WatchRoute("/VnUsbKey_Api/GetReaderName", keyPresence);
  device_status::WatchRoute("/VnUsbKey_Api/GetSerialNum", keyPresence);
  const Rule signature{Family::Signature, Success::NonNegative, 0, false, false, 0, false};
  for (const char* route : {"/Pemrik_Api/GetSign", "/Pemrik_Api/CloseDev", "/Pemrik_Api/QuitPMProc",
                            "/Pemrik_Api/ClearDev", "/Pemrik_Api/GetConfirm", "/Pemrik_Api/GetSignData"}) {
    device_status::WatchRoute(route, signature);
  }
  const Rule signaturePresence{Family::Signature, Success::NonNegative, 0, true, true, 0, false};
  device_status::WatchRoute("/Pemrik_Api/OpenDev", signaturePresence);
  device_status::WatchRoute("/Pemrik_Api/InitDev", signaturePresence);

  device_status::SetLibraries(Family::IdCard, Beside({"vnsdtapi.dll", "SDTAPI.dll"}));
  device_status::SetLibraries(Family::Terminal, Beside({"JRS_40QK_CardDll.dll"}));
  device_status::SetLibraries(Family::UsbKey, Beside({"UsbKey.dll"}));
  device_status::SetLibraries(Family::Signature, Beside({"PemrikProcessor.exe", "PMTablet.dll"}));
}

}  // namespace

// Route-table order.
void RegisterRoutes(Tarnwick& server) {
  // Once per process: a later server's start-up must not write the rules a running one reads.
  static std::once_flag watching;
  std::call_once(watching, WatchDeviceAnswers);
  server.AddHandler("/Local/GetVersion", handle_Local_GetVersion);
  server.AddHandler("/Local/Debug", handle_Local_Debug);
  server.AddHandler("/Local/Events", handle_Local_Events);
  // Moving devices that are not there is for tests and demonstrations only. It may wait for the
  // capture program, so it runs with the signature pad's requests, not on the I/O thread.
  if (platform::SimulationEnabled()) server.AddHandler("/Local/Simulate", handle_Local_Simulate, Family::Signature);
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
  server.AddHandler("/Pemrik_Api/GetSignData", handle_Pemrik_getSignData, Family::Signature);
  // The service's own pages, after the device and local routes.
  server.AddHandler("/", handle_Local_Status);
  server.AddHandler("/metrics", handle_Local_Metrics);
}
