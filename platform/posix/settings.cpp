#include "platform/settings.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace platform::settings {

std::string Location(const char* service, const char* name) {
  std::string out;
  for (const char* p = service; *p != '\0'; ++p)
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
  out.push_back('_');
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char ch = static_cast<unsigned char>(*p);
    if (std::isupper(ch) && p != name) out.push_back('_');
    out.push_back(static_cast<char>(std::toupper(ch)));
  }
  return out;
}

std::optional<std::string> Text(const char* service, const char* name) {
  const char* value = std::getenv(Location(service, name).c_str());
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::vector<std::string> List(const char* service, const char* name) {
  std::vector<std::string> items;
  if (const auto text = Text(service, name)) {
    std::istringstream in(*text);
    for (std::string item; in >> item;) items.push_back(item);
  }
  return items;
}

}  // namespace platform::settings
