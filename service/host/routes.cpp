#include "host.h"
#include "http/http.h"
#include "http/local_routes.h"
#include "idcard/idcard_routes.h"

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
}
