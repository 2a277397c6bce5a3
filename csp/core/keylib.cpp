#include "keylib.h"

#include "platform/module.h"

namespace csp {

KeyLibrary KeyLibrary::Bind(platform::DynLib lib, std::string path) {
  KeyLibrary k;
  if (lib == nullptr) return k;
  k.loaded = true;
  k.path = std::move(path);
#define CSP_KEYLIB_BIND(name) k.name = reinterpret_cast<decltype(k.name)>(platform::DynSymbol(lib, #name));
  CSP_KEYLIB_FUNCTIONS(CSP_KEYLIB_BIND)
#undef CSP_KEYLIB_BIND
  return k;
}

KeyLibrary KeyLibrary::Load(const std::string& fileName, const std::string& moduleFolder,
                            const std::string& systemFolder) {
  const std::string file = platform::DynLibFileName(fileName.c_str());
  for (const std::string& folder : {moduleFolder, systemFolder}) {
    if (folder.empty()) continue;
    const std::string path = platform::PathJoin(folder, file);
    if (platform::DynLib lib = platform::LoadDynLibAt(path)) return Bind(lib, path);
  }
  return KeyLibrary{};
}

}  // namespace csp
