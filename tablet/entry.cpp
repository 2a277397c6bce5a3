// Loading and unloading of the library file itself (not of the tests, which link its objects):
// logging as config.ini beside the file says, and the closing sequence at the end.
#include "library.h"
#include "platform/folders.h"
#include "tablet_log.h"

#if defined(_WIN32)
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    tablet::log::Configure(platform::ModuleDirectory(reinterpret_cast<const void*>(&DllMain)));
  } else if (reason == DLL_PROCESS_DETACH) {
    tablet::Library::Instance().Unload();
  }
  return TRUE;
}
#else
namespace {

__attribute__((constructor)) void Loaded() {
  tablet::log::Configure(platform::ModuleDirectory(reinterpret_cast<const void*>(&Loaded)));
}

__attribute__((destructor)) void Unloaded() { tablet::Library::Instance().Unload(); }

}  // namespace
#endif
