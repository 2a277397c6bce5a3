#include "config.h"

#include <gcrypt.h>

#include <sstream>

#include "platform/files.h"
#include "tw/base64.h"

namespace csp {
namespace {

constexpr size_t kMaxFile = 256 * 1024;
constexpr unsigned char kKey[16] = {0x4D, 0x6F, 0x72, 0x76, 0x65, 0x6C, 0x43, 0x53,
                                    0x50, 0x2D, 0x63, 0x66, 0x67, 0x2D, 0x6B, 0x31};
constexpr unsigned char kIv[16] = {0x1F, 0x8A, 0x3C, 0x52, 0x90, 0x07, 0xE4, 0x6B,
                                   0xD1, 0x25, 0x7E, 0xA8, 0x33, 0xC9, 0x4F, 0x10};

std::string Trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// AES-128-CBC over whole blocks; false when libgcrypt refuses.
bool Aes(std::string& data, bool encipher) {
  if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  }
  gcry_cipher_hd_t h = nullptr;
  if (gcry_cipher_open(&h, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 0) != 0) return false;
  bool ok = gcry_cipher_setkey(h, kKey, sizeof kKey) == 0 && gcry_cipher_setiv(h, kIv, sizeof kIv) == 0;
  if (ok) {
    auto* bytes = reinterpret_cast<unsigned char*>(&data[0]);
    ok = (encipher ? gcry_cipher_encrypt(h, bytes, data.size(), nullptr, 0)
                   : gcry_cipher_decrypt(h, bytes, data.size(), nullptr, 0)) == 0;
  }
  gcry_cipher_close(h);
  return ok;
}

}  // namespace

std::string EncipherValue(const std::string& plain) {
  std::string data = plain;
  const size_t fill = 16 - data.size() % 16;
  data.append(fill, static_cast<char>(fill));
  if (!Aes(data, true)) return std::string();
  return tw::Base64(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

std::optional<std::string> DecipherValue(const std::string& stored) {
  auto data = tw::Base64Decode(stored);
  if (!data || data->empty() || data->size() % 16 != 0 || !Aes(*data, false)) return std::nullopt;
  const unsigned char fill = static_cast<unsigned char>(data->back());
  if (fill == 0 || fill > 16) return std::nullopt;
  for (size_t i = 0; i < fill; ++i) {
    if (static_cast<unsigned char>((*data)[data->size() - 1 - i]) != fill) return std::nullopt;
  }
  data->resize(data->size() - fill);
  return data;
}

CIni CIni::Load(const std::string& path) {
  std::string text;
  return platform::ReadWholeFile(path, kMaxFile, &text) == platform::ReadResult::Ok ? Parse(text) : CIni();
}

CIni CIni::Parse(const std::string& text) {
  CIni ini;
  std::string section;
  bool inSection = false;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string::npos;
      if (inSection) section = Trim(line.substr(1, close - 1));
      continue;
    }
    const size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    ini.sections_[section][Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
  }
  return ini;
}

std::optional<std::string> CIni::Get(const std::string& section, unsigned item) const {
  const auto s = sections_.find(section);
  if (s == sections_.end()) return std::nullopt;
  const auto v = s->second.find(std::to_string(item));
  if (v == s->second.end()) return std::nullopt;
  return DecipherValue(v->second);
}

}  // namespace csp
