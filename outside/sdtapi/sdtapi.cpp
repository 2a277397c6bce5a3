// Stand-in for the JL vendor's SDTAPI: a simulated reader and card in-process, switched on by
// TARNWICK_SIM=1 with "jl" in TARNWICK_SIM_READERS, and steerable by tests through SimJL_*.
#include "sdtapi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "sim/portrait.h"

namespace {

constexpr int kNotForced = 0x7FFFFFFF;
constexpr int kTextBytes = 256;
constexpr int kFingerprintBytes = 1024;
constexpr int kInitAbsent = -1;
constexpr int kFailed = 0;

// The sample card's physical number, shared with the devtool stand-in.
constexpr unsigned char kCardNumber[8] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93};
constexpr const char* kSamId = "5-1-20200234-1234567-654321";

struct State {
  int present = kNotForced;  // kNotForced: follow the environment
  int card = 1;
  int fingerprint = 1;
  int photo = 1;
  int fingerprintLength = kFingerprintBytes;
  std::map<std::string, int> forced;
  std::map<std::string, int> calls;
};

std::mutex& Lock() {
  static std::mutex m;
  return m;
}

State& St() {
  static State s;
  return s;
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
bool EnvironmentPresent() {
  const char* sim = std::getenv("TARNWICK_SIM");
  if (sim == nullptr || std::strcmp(sim, "1") != 0) return false;
  const char* readers = std::getenv("TARNWICK_SIM_READERS");
  return HasWord(readers ? readers : "own", "jl");
}

// What one call sees of the simulated device, taken under the lock once.
struct Call {
  bool present;
  bool card;
  bool forced;
  int forcedValue;
};

Call Enter(const char* function, const char* forceKey = nullptr) {
  std::lock_guard<std::mutex> g(Lock());
  State& s = St();
  ++s.calls[function];
  Call c{};
  c.present = s.present == kNotForced ? EnvironmentPresent() : s.present != 0;
  c.card = c.present && s.card != 0;
  if (forceKey) {
    auto it = s.forced.find(forceKey);
    if (it != s.forced.end()) {
      c.forced = true;
      c.forcedValue = it->second;
    }
  }
  return c;
}

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

// --- photo.bmp: the sample portrait scaled to 102 x 126, 24 bits, rows bottom-up ---

constexpr int kBlockSide = 32;
constexpr int kWidth = 102;
constexpr int kHeight = 126;
constexpr int kRowBytes = (kWidth * 3 + 3) & ~3;
constexpr int kHeaderBytes = 54;
constexpr int kImageBytes = kRowBytes * kHeight;
constexpr int kFileBytes = kHeaderBytes + kImageBytes;
constexpr const char* kPhotoName = "photo.bmp";

void Put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void Put32(unsigned char* p, unsigned long v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool WritePhoto() {
  std::vector<uint8_t> block = sim::MakePortraitBlock();
  if (block.size() < static_cast<size_t>(kBlockSide * kBlockSide)) return false;
  std::vector<unsigned char> file(kFileBytes, 0);
  unsigned char* h = file.data();
  h[0] = 'B';
  h[1] = 'M';
  Put32(h + 2, kFileBytes);
  Put32(h + 10, kHeaderBytes);
  Put32(h + 14, 40);
  Put32(h + 18, kWidth);
  Put32(h + 22, kHeight);
  Put16(h + 26, 1);
  Put16(h + 28, 24);
  Put32(h + 34, kImageBytes);
  Put32(h + 38, 3780);
  Put32(h + 42, 3780);
  for (int y = 0; y < kHeight; ++y) {
    unsigned char* row = h + kHeaderBytes + (kHeight - 1 - y) * kRowBytes;
    int sy = y * kBlockSide / kHeight;
    for (int x = 0; x < kWidth; ++x) {
      int g = block[sy * kBlockSide + x * kBlockSide / kWidth];
      // A faint warm tint tells this vendor's photos apart from the own reader's grey ones.
      row[3 * x] = static_cast<unsigned char>(g * 15 / 16);             // blue
      row[3 * x + 1] = static_cast<unsigned char>(g);                   // green
      row[3 * x + 2] = static_cast<unsigned char>(g + (255 - g) / 16);  // red
    }
  }
  std::FILE* f = std::fopen(kPhotoName, "wb");
  if (!f) return false;
  bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  if (std::fclose(f) != 0) ok = false;
  if (!ok) std::remove(kPhotoName);  // never leave a truncated picture behind
  return ok;
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
  Call c = Enter(function, "read");
  if (c.forced && c.forcedValue != 1) return c.forcedValue;
  if (!c.forced && !c.card) return kFailed;
  int photo, fpLength;
  {
    std::lock_guard<std::mutex> g(Lock());
    photo = St().photo;
    fpLength = St().fingerprintLength;
  }
  if (photo && !WritePhoto()) return kFailed;
  if (text) MakeText(text);
  if (fingerprintLength) {
    if (fpLength < 0) fpLength = 0;
    if (fpLength > kFingerprintBytes) fpLength = kFingerprintBytes;
    if (fingerprint) MakeFingerprint(fingerprint, fpLength);
    *fingerprintLength = fingerprint ? fpLength : 0;
  }
  return 1;
}

}  // namespace

TW_EXPORT int TW_STDCALL InitComm(int port) {
  (void)port;
  Call c = Enter("InitComm", "initComm");
  if (c.forced) return c.forcedValue;
  return c.present ? 1 : kInitAbsent;
}

TW_EXPORT int TW_STDCALL CloseComm() {
  Call c = Enter("CloseComm", "closeComm");
  return c.forced ? c.forcedValue : 1;
}

TW_EXPORT int TW_STDCALL Authenticate() {
  Call c = Enter("Authenticate", "authenticate");
  if (c.forced) return c.forcedValue;
  return c.card ? 1 : kFailed;
}

TW_EXPORT int TW_STDCALL IsFingerPrintDevice() {
  Call c = Enter("IsFingerPrintDevice");
  std::lock_guard<std::mutex> g(Lock());
  return c.present && St().fingerprint != 0 ? 1 : 0;
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
  Call c = Enter("ReadIINSNDN", "readIINSNDN");
  if (c.forced && c.forcedValue != 1) return c.forcedValue;
  if (!c.forced && !c.card) return kFailed;
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
  Call c = Enter("GetSAMIDToStr", "samid");
  if (c.forced && c.forcedValue != 1) return c.forcedValue;
  if (!c.forced && !c.present) return kFailed;
  if (buffer) std::strcpy(buffer, kSamId);
  return 1;
}

TW_EXPORT int TW_STDCALL SDT_StartFindIDCard(int port, unsigned char* buffer, int flag) {
  (void)port;
  (void)flag;
  Call c = Enter("SDT_StartFindIDCard");
  if (buffer) std::memset(buffer, 0, 8);
  return c.card ? 0x9F : 0x80;
}

TW_EXPORT int TW_STDCALL SDT_SelectIDCard(int port, unsigned char* buffer, int flag) {
  (void)port;
  (void)buffer;
  (void)flag;
  Call c = Enter("SDT_SelectIDCard");
  return c.card ? 0x90 : 0x81;
}

TW_EXPORT int TW_STDCALL GetHIDCount() {
  Call c = Enter("GetHIDCount");
  return c.present ? 1 : 0;
}

TW_EXPORT int TW_STDCALL Routon_ShutDownAntenna() {
  Enter("Routon_ShutDownAntenna");
  return 1;
}

// Settings: present, card, fingerprint, photo, fingerprintLength, reset, and per-function
// forced results (initComm, authenticate, read, closeComm, readIINSNDN, samid; 0x7FFFFFFF clears).
TW_EXPORT void TW_STDCALL SimJL_Control(const char* setting, int value) {
  if (!setting) return;
  std::lock_guard<std::mutex> g(Lock());
  State& s = St();
  std::string name(setting);
  if (name == "reset") {
    s = State();
  } else if (name == "present") {
    s.present = value == kNotForced ? kNotForced : (value != 0 ? 1 : 0);
  } else if (name == "card") {
    s.card = value;
  } else if (name == "fingerprint") {
    s.fingerprint = value;
  } else if (name == "photo") {
    s.photo = value;
  } else if (name == "fingerprintLength") {
    s.fingerprintLength = value;
  } else if (name == "initComm" || name == "authenticate" || name == "read" || name == "closeComm" ||
             name == "readIINSNDN" || name == "samid") {
    if (value == kNotForced) {
      s.forced.erase(name);
    } else {
      s.forced[name] = value;
    }
  }
}

TW_EXPORT int TW_STDCALL SimJL_Calls(const char* function) {
  if (!function) return 0;
  std::lock_guard<std::mutex> g(Lock());
  auto it = St().calls.find(function);
  return it == St().calls.end() ? 0 : it->second;
}
