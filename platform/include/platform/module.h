// The module (library or program) this code is linked into, and the language, environment and
// path rules of the system around it (where things are: folders.h). Thread-safe; nothing here
// blocks beyond a file-system query.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Keeps the module holding the calling code loaded until the process ends, however often its
// host loads and frees it (a provider module that CryptoAPI loads at every acquire). false when
// the system refuses.
bool PinModule();

// True when the user's interface language is Chinese (Windows: the user's UI language; Linux:
// LC_ALL, LC_MESSAGES or LANG beginning with "zh").
bool UiLanguageIsChinese();

// An environment variable of the process (UTF-8), as the system holds it: on Windows also what
// SetEnvironmentVariableW set after the C runtime started. nullopt when it is not set.
std::optional<std::string> EnvironmentValue(const char* name);

// `name` in `folder`, joined with the system's separator.
std::string PathJoin(const std::string& folder, const std::string& name);

// String resource `id` of this module in the user's language (Windows: LoadStringW). nullopt
// when the module has none (always on Linux, which has no resources).
std::optional<std::string> ModuleString(unsigned id);

}  // namespace platform
