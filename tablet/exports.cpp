// The exports: one line each over the library's one instance.
#include "library.h"
#include "pmtablet.h"
#include "presence.h"
#include "sim/hook.h"
#include "sim/tablet.h"
#include "tablet_log.h"

using tablet::ExportCode;
using tablet::Library;

// With simulation on, the library comes up with a simulated tablet attached.
TW_SIMULATION_HOOK(sim::InstallDefaultTablet)

PMTABLET_API int PMTABLET_CALL PMInit(TabletCaps* caps, uint32_t* message, void* window) {
  return ExportCode(Library::Instance().Init(caps, message, window));
}

PMTABLET_API int PMTABLET_CALL PMClose(void*) { return ExportCode(Library::Instance().Close()); }

PMTABLET_API int PMTABLET_CALL PMPacketsGet(int32_t count, PenPacket* buffer) {
  return Library::Instance().PacketsGet(count, buffer) ? 1 : 0;
}

PMTABLET_API int PMTABLET_CALL PMClearSig(void) { return ExportCode(Library::Instance().ClearSig()); }

PMTABLET_API int PMTABLET_CALL PMGetStatus(void) { return ExportCode(tablet::CheckPresence()); }

PMTABLET_API int PMTABLET_CALL PMGetSerial(TabletCaps* caps, uint32_t* message, void* window, uint8_t* serial) {
  return ExportCode(Library::Instance().GetSerial(caps, message, window, serial));
}

PMTABLET_API int PMTABLET_CALL PMLogEnable(int32_t enable) { return tablet::log::Enable(enable) ? 1 : 0; }
