#include "host.h"
#include "http/http.h"
#include "http/local_routes.h"
#include "idcard/idcard_routes.h"
#include "signature/signature_routes.h"

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
  server.AddHandler("/test", handle_test);
  server.AddHandler("/Pemrik_Api/OpenDev", handle_Pemrik_openDev);
  server.AddHandler("/Pemrik_Api/GetSign", handle_Pemrik_getSign);
  server.AddHandler("/Pemrik_Api/CloseDev", handle_Pemrik_closeDev);
  server.AddHandler("/Pemrik_Api/InitDev", handle_Pemrik_initDev);
  server.AddHandler("/Pemrik_Api/QuitPMProc", handle_Pemrik_quitDev);
  server.AddHandler("/Pemrik_Api/ClearDev", handle_Pemrik_clearDev);
  server.AddHandler("/Pemrik_Api/GetConfirm", handle_Pemrik_confirmDev);
}
