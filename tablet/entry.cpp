// Loading and unloading of the library file itself (not of the tests, which link its objects):
// logging as config.ini beside the file says, and the closing sequence at the end.
#include "library.h"
#include "platform/library_hooks.h"
#include "tablet_log.h"

namespace {

void Loaded(const std::string& folder) { tablet::log::Configure(folder); }
void Unloaded() { tablet::Library::Instance().Unload(); }

}  // namespace

TW_LIBRARY_HOOKS(Loaded, Unloaded)
