// The provider's configuration: the settings file (section "40") and the texts file (section
// "10") beside the module, INI files whose values are Base64 of AES-128-CBC enciphered text
// (PKCS #7 padding) under a key and initialisation vector built into the provider. Texts are
// GBK, as the Chinese texts file needs; the English one is plain ASCII, which GBK contains.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace csp {

// Setting and text numbers the provider reads.
constexpr unsigned kSettingReaderPrefix = 40030006;     // only readers whose name begins so
constexpr unsigned kSettingContainerPrefix = 40030007;  // names of containers made for the default one
constexpr unsigned kSettingPinPolicy = 40040003;        // 100: ask even when the key library caches a PIN
constexpr unsigned kTextPinCaption = 10017304;
constexpr unsigned kTextWrongPin = 10016102;  // a format with one %d: the tries left
constexpr unsigned kTextRetry = 10017108;
constexpr unsigned kTextPinLocked = 10016509;

// One configuration file, read whole.
class CIni {
 public:
  // Missing, unreadable or oversized files read as empty; lines that are not "key=value" in a
  // section are skipped.
  static CIni Load(const std::string& path);
  static CIni Parse(const std::string& text);

  // The deciphered value, nullopt when the item is absent or does not decipher.
  std::optional<std::string> Get(const std::string& section, unsigned item) const;

 private:
  std::map<std::string, std::map<std::string, std::string>> sections_;
};

// The value form of the files: Base64 of the enciphered text, and back.
std::string EncipherValue(const std::string& plain);
std::optional<std::string> DecipherValue(const std::string& stored);

}  // namespace csp
