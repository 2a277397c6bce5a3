#include "host.h"
#include "http/http.h"
#include "http/local_routes.h"

// Route-table order; device families join as they are built. Until then their paths answer
// as unregistered.
void RegisterRoutes(Tarnwick& server) {
  server.AddHandler("/Local/GetVersion", handle_Local_GetVersion);
  server.AddHandler("/Local/Debug", handle_Local_Debug);
  server.AddHandler("/test", handle_test);
}
