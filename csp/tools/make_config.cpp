// Writes the provider's configuration files from their plain sources in a folder:
//   settings.ini  -> GECFG00001.dat and GECFG20135.dat (section "40")
//   texts.en.ini  -> GEEN00001.dat                      (section "10")
//   texts.cn.ini  -> GECN20135.dat                      (section "10", UTF-8 source, GBK values)
// Usage: make_csp_config FOLDER
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "config.h"
#include "platform/codepage.h"

namespace {

bool Convert(const std::string& folder, const char* source, const char* target, bool gbk) {
  std::ifstream in(folder + "/" + source, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s/%s\n", folder.c_str(), source);
    return false;
  }
  std::ostringstream out;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' || eq == std::string::npos) {
      out << line << "\r\n";
      continue;
    }
    std::string value = line.substr(eq + 1);
    if (gbk) value = platform::ConvertText(value, platform::CodePage::Utf8, platform::CodePage::Gbk);
    out << line.substr(0, eq) << "=" << csp::EncipherValue(value) << "\r\n";
  }
  std::ofstream file(folder + "/" + target, std::ios::binary | std::ios::trunc);
  file << out.str();
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const bool ok = Convert(folder, "settings.ini", "GECFG00001.dat", false) &&
                  Convert(folder, "settings.ini", "GECFG20135.dat", false) &&
                  Convert(folder, "texts.en.ini", "GEEN00001.dat", false) &&
                  Convert(folder, "texts.cn.ini", "GECN20135.dat", true);
  return ok ? 0 : 1;
}
