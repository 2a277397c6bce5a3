// The tablet library as the capture program binds it: loaded by file name at start, five
// exports looked up by name.
#pragma once

#include <cstdint>

#include "platform/dynlib.h"
#include "platform/export.h"
#include "pmtablet.h"

namespace capture {

struct TabletApi {
  int(TW_STDCALL* getStatus)() = nullptr;
  int(TW_STDCALL* init)(TabletCaps* caps, uint32_t* message, void* window) = nullptr;
  int(TW_STDCALL* close)(void* window) = nullptr;
  int(TW_STDCALL* clearSig)() = nullptr;
  int(TW_STDCALL* packetsGet)(int32_t count, PenPacket* buffer) = nullptr;
};

constexpr char kTabletLibrary[] = ".//PMTablet.dll";

// Loads ".//PMTablet.dll" from the working folder, or else the one beside the program, and
// binds the five exports. false (and nothing kept) when the file or a name is missing.
bool LoadTablet(TabletApi* api, platform::DynLib* library);

}  // namespace capture
