// Decoding of the card's text block into a GBK record and of its photo block into a BMP, the
// latter through the outside decoder library bound when this library is loaded.
#include "decode.h"

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
#include "platform/export.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "tw/base64.h"
#include "vnsdt_card_text.h"

namespace fs = std::filesystem;

namespace vnsdt {
namespace {

namespace layout = card_text;

constexpr size_t kWorkSize = 1024;
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

// A field of the text block without its trailing blanks.
std::u16string Field(const uint8_t* work, layout::Field field) {
  std::u16string s = layout::Units(work, kWorkSize, field);
  while (!s.empty() && s.back() == u' ') s.pop_back();
  return s;
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

// A code as decimal text in a 4-byte slot. The fields hold one or two digits, so it always
// fits; anything longer keeps its first three characters.
void PutCode(uint8_t* slot, long code) {
  char text[24];
  const int n = std::snprintf(text, sizeof text, "%ld", code);
  std::memcpy(slot, text, n > 3 ? 3 : static_cast<size_t>(n));
}

std::u16string FromUtf8(const char* text) { return platform::ToUtf16(text, platform::CodePage::Utf8); }

void Remove(const fs::path& p) {
  std::error_code ec;
  fs::remove(p, ec);
}

Status ReadWhole(const fs::path& p, std::vector<uint8_t>* out) {
  std::ifstream in(p, std::ios::binary | std::ios::ate);
  if (!in) return Status::kPictureUnreadable;
  if (in.tellg() != static_cast<std::streamoff>(kBmpSize)) return Status::kPictureSize;
  in.seekg(0);
  out->assign(kBmpSize + 4, 0);
  in.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(kBmpSize));
  return in ? Status::kOk : Status::kPictureUnreadable;
}

// Delivers `data` to the caller's buffer and/or file.
Status Deliver(const uint8_t* data, size_t size, uint8_t* buffer, int* length, const char* path, bool terminate) {
  if (buffer != nullptr) {
    if (*length < 0 || static_cast<size_t>(*length) < size) return Status::kBufferTooSmall;
    std::memcpy(buffer, data, size);
    if (terminate && static_cast<size_t>(*length) > size) buffer[size] = 0;
    *length = static_cast<int>(size);
  }
  if (path != nullptr) {
    // The caller's name is in the ANSI code page, which fopen takes as it is.
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return Status::kFileFailed;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok) return Status::kFileFailed;
  }
  return Status::kOk;
}

}  // namespace

Status DecodeText(const uint8_t* text, size_t length, uint8_t* record) {
  if (record != nullptr) std::memset(record, 0, kRecordSize);
  if (text == nullptr || record == nullptr || length < layout::kMinimumLength) return Status::kInvalidArgument;
  uint8_t work[kWorkSize] = {};
  std::memcpy(work, text, length < kWorkSize ? length : kWorkSize);

  const long sexCode = layout::Number(Field(work, layout::kSex));
  const long nationCode = layout::Number(Field(work, layout::kNation));

  PutGbk(record + 0, 32, Field(work, layout::kName));
  PutGbk(record + 32, 8, FromUtf8(SexName(sexCode)).substr(0, 5));
  PutGbk(record + 40, 20, FromUtf8(NationName(nationCode)).substr(0, 10));
  PutGbk(record + 60, 12, Field(work, layout::kBirth));
  PutGbk(record + 72, 72, Field(work, layout::kAddress));
  PutGbk(record + 144, 20, Field(work, layout::kIdNumber));
  PutGbk(record + 164, 32, Field(work, layout::kAuthority));
  PutGbk(record + 196, 12, Field(work, layout::kValidFrom));
  PutGbk(record + 208, 12, Field(work, layout::kValidTo));
  PutCode(record + 292, sexCode);
  PutCode(record + 296, nationCode);
  return Status::kOk;
}

Status DecodePhoto(const uint8_t* wlt, int type, const char* path, uint8_t* buffer, int* length) {
  if (g_decoder.unpack == nullptr) return Status::kNoDecoder;
  if (wlt == nullptr || (buffer != nullptr && length == nullptr) || (buffer == nullptr && path == nullptr)) {
    return Status::kInvalidArgument;
  }

  // The time alone would let two programs decoding in the same second take each other's
  // pictures: the process id keeps their temporary files apart.
  char stem[64];
  const std::time_t now = std::time(nullptr);
  const std::tm* t = std::localtime(&now);
  std::snprintf(stem, sizeof stem, "~photo%04d%02d%02d_%02d%02d%02d_%u", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday,
                t->tm_hour, t->tm_min, t->tm_sec, static_cast<unsigned>(platform::CurrentProcessId()));
  std::error_code ec;
  const fs::path temp = fs::temp_directory_path(ec);
  const fs::path tempBmp = temp / (std::string(stem) + ".bmp");
  const fs::path tempWlt = temp / (std::string(stem) + ".wlt");
  Remove(tempBmp);
  Remove(tempWlt);
  {
    std::ofstream out(tempWlt, std::ios::binary | std::ios::trunc);
    if (!out) return Status::kTempFileFailed;
    out.write(reinterpret_cast<const char*>(wlt), static_cast<std::streamsize>(kWltSize));
  }

  const fs::path host = fs::u8path(g_decoder.hostDirectory);
  const fs::path decoded = host / "zp.bmp";
  // A decoder that reports success without writing its picture must not hand out the one an
  // earlier card holder left behind.
  Remove(decoded);
  const fs::path saved = fs::current_path(ec);
  fs::current_path(host, ec);
  std::vector<unsigned char> copy(wlt, wlt + kWltSize);
  std::vector<unsigned char> scratch(kScratchSize, 0);
  const int unpacked = g_decoder.unpack(copy.data(), scratch.data(), 1);
  fs::current_path(saved, ec);
  if (unpacked != 1) {
    Remove(tempWlt);
    return Status::kDecoderFailed;
  }

  fs::copy_file(decoded, tempBmp, fs::copy_options::overwrite_existing, ec);
  std::vector<uint8_t> bmp;
  const Status read = ReadWhole(tempBmp, &bmp);
  Remove(tempWlt);
  Remove(tempBmp);
  Status result = read;
  if (read != Status::kOk) {
    // nothing more to deliver
  } else if (type == 1) {
    result = Deliver(bmp.data(), kBmpSize, buffer, length, path, false);
  } else if (type == 2) {
    const std::string text = tw::Base64(bmp.data(), kBmpSize);
    result = text.empty() || text.size() > kBase64Capacity
                 ? Status::kEncodeFailed
                 : Deliver(reinterpret_cast<const uint8_t*>(text.data()), text.size(), buffer, length, path, true);
  } else {
    result = Status::kUnknownType;
  }
  Remove(decoded);
  return result;
}

}  // namespace vnsdt
