// Stand-in for the JL vendor's SDTAPI: a simulated reader and card in-process, switched on by
// TARNWICK_SIM=1 with "jl" in TARNWICK_SIM_READERS, and steerable by tests through SimJL_*.
#include "sdtapi.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "sim/portrait.h"
#include "standin.h"
#include "tw/bmp.h"

namespace {

constexpr int kTextBytes = 256;
constexpr int kFingerprintBytes = 1024;
constexpr int kInitAbsent = -1;
constexpr int kFailed = 0;

// The sample card's physical number, shared with the devtool stand-in.
constexpr unsigned char kCardNumber[8] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93};
constexpr const char* kSamId = "5-1-20200234-1234567-654321";

// Settings: present (kNotForced: follow the environment), card, fingerprint, photo,
// fingerprintLength, photoBytes (a photo file of that many bytes instead of the picture).
// Forced results: initComm, authenticate, read, closeComm, readIINSNDN, samid.
standin::Device& Device() {
  static standin::Device device({{"present", standin::Device::kNotForced},
                                 {"card", 1},
                                 {"fingerprint", 1},
                                 {"photo", 1},
                                 {"fingerprintLength", kFingerprintBytes},
                                 {"photoBytes", 0}},
                                {"initComm", "authenticate", "read", "closeComm", "readIINSNDN", "samid"});
  return device;
}

bool HasWord(const char* list, const char* word) {
  std::string s(list);
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(',', start);
    if (end == std::string::npos) end = s.size();
    std::string item = s.substr(start, end - start);
    while (!item.empty() && item.front() == ' ') item.erase(item.begin());
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (item == word) return true;
    start = end + 1;
  }
  return false;
}

// Read on every call so a test or launcher may change the environment at any time.
bool Present() {
  const int present = Device().Setting("present");
  if (present != standin::Device::kNotForced) return present != 0;
  const char* sim = std::getenv("TARNWICK_SIM");
  if (sim == nullptr || std::strcmp(sim, "1") != 0) return false;
  const char* readers = std::getenv("TARNWICK_SIM_READERS");
  return HasWord(readers ? readers : "own", "jl");
}

bool CardInField() { return Present() && Device().Setting("card") != 0; }

void PutField(unsigned char* text, int first, int last, const std::u16string& value) {
  std::string ansi = platform::FromUtf16(value, platform::CodePage::Ansi);
  size_t room = static_cast<size_t>(last - first + 1);
  std::memcpy(text + first, ansi.data(), ansi.size() < room ? ansi.size() : room);
}

void MakeText(unsigned char* text) {
  std::memset(text, 0, kTextBytes);
  PutField(text, 0, 30, u"WANG LEI");
  PutField(text, 31, 33, u"M");
  PutField(text, 44, 47, u"1985");
  PutField(text, 48, 49, u"07");
  PutField(text, 50, 52, u"21");
  PutField(text, 53, 123, u"12 SAMPLE ROAD, HAIDIAN, BEIJING");
  PutField(text, 124, 142, u"110108198507210019");
  PutField(text, 143, 173, u"HAIDIAN BRANCH");
  PutField(text, 174, 177, u"2021");
  PutField(text, 178, 179, u"03");
  PutField(text, 180, 182, u"15");
  PutField(text, 183, 186, u"2041");
  PutField(text, 187, 188, u"03");
  PutField(text, 189, 191, u"15");
}

// photo.bmp: the sample portrait scaled to 102 x 126, 24 bits.
bool WritePhoto() {
  constexpr int kBlockSide = 32, kWidth = 102, kHeight = 126;
  const char* kPhotoName = "photo.bmp";
  if (const int bytes = Device().Setting("photoBytes"); bytes > 0) {
    return tw::bmp::Save(kPhotoName, std::vector<uint8_t>(static_cast<size_t>(bytes), 0x42));
  }
  std::vector<uint8_t> block = sim::MakePortraitBlock();
  if (block.size() < static_cast<size_t>(kBlockSide * kBlockSide)) return false;
  std::vector<uint8_t> bgr(kWidth * kHeight * 3);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int g = block[y * kBlockSide / kHeight * kBlockSide + x * kBlockSide / kWidth];
      uint8_t* px = &bgr[(y * kWidth + x) * 3];
      // A faint warm tint tells this vendor's photos apart from the own reader's grey ones.
      px[0] = static_cast<uint8_t>(g * 15 / 16);
      px[1] = static_cast<uint8_t>(g);
      px[2] = static_cast<uint8_t>(g + (255 - g) / 16);
    }
  }
  return tw::bmp::Save(kPhotoName, tw::bmp::Colour24(kWidth, kHeight, bgr.data()));
}

void MakeFingerprint(unsigned char* out, int length) {
  unsigned v = 0x4A4C0001u;
  for (int i = 0; i < length; ++i) {
    v = v * 1103515245u + 12345u;
    out[i] = static_cast<unsigned char>(v >> 16);
  }
}

// Shared by both reads: photo first, so a failed photo leaves the caller's buffers untouched.
int Read(const char* function, unsigned char* text, unsigned char* fingerprint, int* fingerprintLength) {
  const auto forced = Device().Enter(function, "read");
  if (forced && *forced != 1) return *forced;
  if (!forced && !CardInField()) return kFailed;
  if (Device().Setting("photo") && !WritePhoto()) return kFailed;
  if (text) MakeText(text);
  if (fingerprintLength) {
    int fpLength = Device().Setting("fingerprintLength");
    if (fpLength < 0) fpLength = 0;
    if (fpLength > kFingerprintBytes) fpLength = kFingerprintBytes;
    if (fingerprint) MakeFingerprint(fingerprint, fpLength);
    *fingerprintLength = fingerprint ? fpLength : 0;
  }
  return 1;
}

}  // namespace

TW_EXPORT int TW_STDCALL InitComm(int) {
  return Device().Enter("InitComm", "initComm").value_or(Present() ? 1 : kInitAbsent);
}

TW_EXPORT int TW_STDCALL CloseComm() { return Device().Enter("CloseComm", "closeComm").value_or(1); }

TW_EXPORT int TW_STDCALL Authenticate() {
  return Device().Enter("Authenticate", "authenticate").value_or(CardInField() ? 1 : kFailed);
}

TW_EXPORT int TW_STDCALL IsFingerPrintDevice() {
  Device().Enter("IsFingerPrintDevice");
  return Present() && Device().Setting("fingerprint") != 0 ? 1 : 0;
}

TW_EXPORT int TW_STDCALL ReadBaseMsg(unsigned char* text, int flag) {
  (void)flag;
  return Read("ReadBaseMsg", text, nullptr, nullptr);
}

TW_EXPORT int TW_STDCALL ReadBaseFPMsg(unsigned char* text, int* value, unsigned char* fingerprint,
                                       int* fingerprintLength) {
  int r = Read("ReadBaseFPMsg", text, fingerprint, fingerprintLength);
  if (r == 1 && value) *value = 0;
  return r;
}

TW_EXPORT int TW_STDCALL ReadIINSNDN(char* buffer) {
  const auto forced = Device().Enter("ReadIINSNDN", "readIINSNDN");
  if (forced && *forced != 1) return *forced;
  if (!forced && !CardInField()) return kFailed;
  if (buffer) {
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) {
      buffer[2 * i] = kHex[kCardNumber[i] >> 4];
      buffer[2 * i + 1] = kHex[kCardNumber[i] & 15];
    }
    buffer[16] = '\0';
  }
  return 1;
}

TW_EXPORT int TW_STDCALL GetSAMIDToStr(char* buffer) {
  const auto forced = Device().Enter("GetSAMIDToStr", "samid");
  if (forced && *forced != 1) return *forced;
  if (!forced && !Present()) return kFailed;
  if (buffer) std::strcpy(buffer, kSamId);
  return 1;
}

TW_EXPORT int TW_STDCALL SDT_StartFindIDCard(int, unsigned char* buffer, int) {
  Device().Enter("SDT_StartFindIDCard");
  if (buffer) std::memset(buffer, 0, 8);
  return CardInField() ? 0x9F : 0x80;
}

TW_EXPORT int TW_STDCALL SDT_SelectIDCard(int, unsigned char*, int) {
  Device().Enter("SDT_SelectIDCard");
  return CardInField() ? 0x90 : 0x81;
}

TW_EXPORT int TW_STDCALL GetHIDCount() {
  Device().Enter("GetHIDCount");
  return Present() ? 1 : 0;
}

TW_EXPORT int TW_STDCALL Routon_ShutDownAntenna() {
  Device().Enter("Routon_ShutDownAntenna");
  return 1;
}

TW_EXPORT void TW_STDCALL SimJL_Control(const char* setting, int value) { Device().Control(setting, value); }

TW_EXPORT int TW_STDCALL SimJL_Calls(const char* function) { return Device().Calls(function); }
