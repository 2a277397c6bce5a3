// Decoding of the card's text block into a GBK record and of its photo block into a BMP, the
// latter through the outside decoder library bound when this library is loaded.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "code_tables.h"
#include "platform/codepage.h"
#include "platform/dynlib.h"
#include "platform/version.h"
#include "tw/base64.h"
#include "vnsdtapi.h"

namespace fs = std::filesystem;

namespace vnsdt {
namespace {

constexpr size_t kRecordSize = 300;
constexpr unsigned kMinTextLength = 220;
constexpr size_t kWorkSize = 1024;
constexpr size_t kWltSize = 1024;
constexpr size_t kBmpSize = 38862;
constexpr size_t kScratchSize = 38557;
constexpr size_t kBase64Capacity = 61440;

using UnpackFn = int(TW_STDCALL*)(unsigned char* wlt, unsigned char* scratch, int flag);

// Bound once when the library is loaded; the decoder is never unloaded.
struct DecoderBinding {
  std::string hostDirectory;
  UnpackFn unpack = nullptr;

  DecoderBinding() : hostDirectory(platform::ProgramDirectory()) {
    platform::DynLib lib = platform::LoadDynLib("DLL_File.dll");
    if (lib == nullptr) return;
    unpack = reinterpret_cast<UnpackFn>(platform::DynSymbol(lib, "unpack"));
    if (unpack == nullptr) platform::FreeDynLib(lib);
  }
};

const DecoderBinding g_decoder;

// A field of the text block: UTF-16LE units from `offset`, without trailing blanks.
std::u16string Field(const uint8_t* work, size_t offset, size_t units) {
  std::u16string s;
  for (size_t i = 0; i < units; ++i) {
    const char16_t c = static_cast<char16_t>(work[offset + 2 * i] | (work[offset + 2 * i + 1] << 8));
    if (c == 0) break;
    s.push_back(c);
  }
  while (!s.empty() && s.back() == u' ') s.pop_back();
  return s;
}

// Decimal value as atoi reads it: blanks, a sign, digits up to the first other character.
long Number(const std::u16string& s) {
  size_t i = 0;
  while (i < s.size() &&
         (s[i] == u' ' || s[i] == u'\t' || s[i] == u'\n' || s[i] == u'\r' || s[i] == u'\v' || s[i] == u'\f')) {
    ++i;
  }
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  long value = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9' && value < 100000000; ++i) value = value * 10 + (s[i] - u'0');
  return negative ? -value : value;
}

// GBK text into a slot: cut at a character boundary so that a terminator always fits, trailing
// ASCII blanks removed.
void PutGbk(uint8_t* slot, size_t slotSize, const std::u16string& text) {
  std::string gbk = platform::FromUtf16(text, platform::CodePage::Gbk);
  size_t keep = 0;
  while (keep < gbk.size()) {
    const size_t width = static_cast<uint8_t>(gbk[keep]) >= 0x81 && keep + 1 < gbk.size() ? 2 : 1;
    if (keep + width > slotSize - 1) break;
    keep += width;
  }
  gbk.resize(keep);
  while (!gbk.empty() && gbk.back() == ' ') gbk.pop_back();
  std::memcpy(slot, gbk.data(), gbk.size());
}

std::u16string FromUtf8(const char* text) { return platform::ToUtf16(text, platform::CodePage::Utf8); }

void Remove(const fs::path& p) {
  std::error_code ec;
  fs::remove(p, ec);
}

bool ReadWhole(const fs::path& p, std::vector<uint8_t>* out, int* failure) {
  std::ifstream in(p, std::ios::binary | std::ios::ate);
  if (!in) {
    *failure = -11;
    return false;
  }
  const std::streamoff size = in.tellg();
  if (size != static_cast<std::streamoff>(kBmpSize)) {
    *failure = -4;
    return false;
  }
  in.seekg(0);
  out->assign(kBmpSize + 4, 0);
  in.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(kBmpSize));
  if (!in) {
    *failure = -11;
    return false;
  }
  return true;
}

// Delivers `data` to the caller's buffer and/or file; the codes for a small buffer and an
// uncreatable file differ between the two types.
int Deliver(const uint8_t* data, size_t size, unsigned char* buffer, int* length, const char* path, int smallBufferCode,
            int fileCode, bool terminate) {
  if (buffer != nullptr) {
    if (*length < 0 || static_cast<size_t>(*length) < size) return smallBufferCode;
    std::memcpy(buffer, data, size);
    if (terminate && static_cast<size_t>(*length) > size) buffer[size] = 0;
    *length = static_cast<int>(size);
  }
  if (path != nullptr) {
    // The caller's name is in the ANSI code page, which fopen takes as it is.
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return fileCode;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok) return fileCode;
  }
  return 1;
}

}  // namespace
}  // namespace vnsdt

using namespace vnsdt;

TW_EXPORT int TW_STDCALL DecodeWZData(const unsigned char* text, unsigned int length, unsigned char* record) {
  if (record != nullptr) std::memset(record, 0, kRecordSize);
  if (text == nullptr || record == nullptr || length < kMinTextLength) return -1;
  uint8_t work[kWorkSize] = {};
  std::memcpy(work, text, length < kWorkSize ? length : kWorkSize);

  const std::u16string sex = Field(work, 30, 1);
  const std::u16string nation = Field(work, 32, 2);
  const long sexCode = Number(sex);
  const long nationCode = Number(nation);

  PutGbk(record + 0, 32, Field(work, 0, 15));
  PutGbk(record + 32, 8, FromUtf8(SexName(sexCode)).substr(0, 5));
  PutGbk(record + 40, 20, FromUtf8(NationName(nationCode)).substr(0, 10));
  PutGbk(record + 60, 12, Field(work, 36, 8));
  PutGbk(record + 72, 72, Field(work, 52, 35));
  PutGbk(record + 144, 20, Field(work, 122, 18));
  PutGbk(record + 164, 32, Field(work, 158, 15));
  PutGbk(record + 196, 12, Field(work, 188, 8));
  PutGbk(record + 208, 12, Field(work, 204, 8));
  std::snprintf(reinterpret_cast<char*>(record + 292), 4, "%ld", sexCode);
  std::snprintf(reinterpret_cast<char*>(record + 296), 4, "%ld", nationCode);
  return 1;
}

TW_EXPORT int TW_STDCALL DecodeWltData(const unsigned char* wlt, int type, const char* path, unsigned char* buffer,
                                       int* length) {
  if (g_decoder.unpack == nullptr) return -1;
  if (wlt == nullptr || (buffer != nullptr && length == nullptr) || (buffer == nullptr && path == nullptr)) return -2;

  char stem[64];
  const std::time_t now = std::time(nullptr);
  const std::tm* t = std::localtime(&now);
  std::snprintf(stem, sizeof stem, "~photo%04d%02d%02d_%02d%02d%02d", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday,
                t->tm_hour, t->tm_min, t->tm_sec);
  std::error_code ec;
  const fs::path temp = fs::temp_directory_path(ec);
  const fs::path tempBmp = temp / (std::string(stem) + ".bmp");
  const fs::path tempWlt = temp / (std::string(stem) + ".wlt");
  Remove(tempBmp);
  Remove(tempWlt);
  {
    std::ofstream out(tempWlt, std::ios::binary | std::ios::trunc);
    if (!out) return 0;
    out.write(reinterpret_cast<const char*>(wlt), static_cast<std::streamsize>(kWltSize));
  }

  const fs::path host = fs::u8path(g_decoder.hostDirectory);
  const fs::path decoded = host / "zp.bmp";
  const fs::path saved = fs::current_path(ec);
  fs::current_path(host, ec);
  std::vector<unsigned char> copy(wlt, wlt + kWltSize);
  std::vector<unsigned char> scratch(kScratchSize, 0);
  const int unpacked = g_decoder.unpack(copy.data(), scratch.data(), 1);
  fs::current_path(saved, ec);
  if (unpacked != 1) {
    Remove(tempWlt);
    return -3;
  }

  fs::copy_file(decoded, tempBmp, fs::copy_options::overwrite_existing, ec);
  std::vector<uint8_t> bmp;
  int failure = 0;
  const bool read = ReadWhole(tempBmp, &bmp, &failure);
  Remove(tempWlt);
  Remove(tempBmp);
  if (!read) {
    Remove(decoded);
    return failure;
  }

  int result = -10;
  if (type == 1) {
    result = Deliver(bmp.data(), kBmpSize, buffer, length, path, -5, -6, false);
  } else if (type == 2) {
    const std::string text = tw::Base64(bmp.data(), kBmpSize);
    result = text.empty() || text.size() > kBase64Capacity ? -7
                                                           : Deliver(reinterpret_cast<const uint8_t*>(text.data()),
                                                                     text.size(), buffer, length, path, -8, -9, true);
  }
  Remove(decoded);
  return result;
}
