#include "photo_file.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/codepage.h"

namespace {

constexpr size_t kPathBufferSize = 100;

bool IsFileNameCharacter(char16_t c) {
  return c >= 0x20 && std::strchr("\\/:*?\"<>|", c < 0x80 ? static_cast<char>(c) : 'a') == nullptr;
}

}  // namespace

std::string PhotoPath(const std::u16string& name) {
  const std::string prefix = "Log/Photo/";
  const std::string suffix = ".bmp";
  const size_t budget = kPathBufferSize - 1 - prefix.size() - suffix.size();
  std::u16string file;
  size_t gbkBytes = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    std::u16string one(1, name[i]);
    if (name[i] >= 0xD800 && name[i] <= 0xDBFF && i + 1 < name.size()) one.push_back(name[++i]);
    if (!IsFileNameCharacter(one[0])) one = u"_";
    // A character GBK cannot hold still takes two bytes there, as its stand-in would.
    const size_t width = one.size() == 1 && one[0] < 0x80 ? 1 : 2 * one.size();
    if (gbkBytes + width > budget) break;
    gbkBytes += width;
    file += one;
  }
  if (file.empty() || file == u"." || file == u"..") file = u"_" + file;
  return prefix + platform::FromUtf16(file, platform::CodePage::Utf8) + suffix;
}

bool WritePhotoFile(const std::string& utf8Path, const std::vector<uint8_t>& bmp) {
  std::ofstream out(std::filesystem::u8path(utf8Path), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bmp.data()), static_cast<std::streamsize>(bmp.size()));
  out.close();
  return !out.fail();
}
