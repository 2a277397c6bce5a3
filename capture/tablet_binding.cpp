#include "tablet_binding.h"

#include "platform/folders.h"

namespace capture {
namespace {

template <class F>
bool Bind(platform::DynLib library, const char* name, F* f) {
  *f = reinterpret_cast<F>(platform::DynSymbol(library, name));
  return *f != nullptr;
}

}  // namespace

bool LoadTablet(TabletApi* api, platform::DynLib* library) {
  platform::DynLib lib = platform::LoadDynLib(kTabletLibrary);
  // A service started by the system runs in the system folder; the program's own folder holds
  // the library then.
  if (lib == nullptr) lib = platform::LoadDynLib((platform::ProgramDirectory() + "/PMTablet.dll").c_str());
  if (lib == nullptr) return false;
  TabletApi bound;
  if (!Bind(lib, "PMGetStatus", &bound.getStatus) || !Bind(lib, "PMInit", &bound.init) ||
      !Bind(lib, "PMClose", &bound.close) || !Bind(lib, "PMClearSig", &bound.clearSig) ||
      !Bind(lib, "PMPacketsGet", &bound.packetsGet)) {
    platform::FreeDynLib(lib);
    return false;
  }
  *api = bound;
  *library = lib;
  return true;
}

}  // namespace capture
