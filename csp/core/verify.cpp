#include "verify.h"

#include <array>
#include <cstring>

#include "platform/codepage.h"
#include "tw/log.h"

namespace csp {
namespace {

using Record = std::array<unsigned char, HS_CACHED_PIN_SIZE>;

Record ReadCache(const KeyLibrary& lib, HS_HANDLE device) {
  Record record{};
  if (!KeyLibrary::Run(lib.HSReadCachedPin, device, record.data()).ok()) record.fill(0);
  return record;
}

std::optional<Secret> CachedPin(const Record& record) {
  const size_t length = record[1];
  if ((record[0] & HS_CACHE_PIN) == 0 || length == 0 || length > HS_CACHED_PIN_SIZE - 2) return std::nullopt;
  return Secret(std::string(reinterpret_cast<const char*>(&record[2]), length));
}

// The accepted PIN goes to the key library's cache and to the reader table.
Result Remember(const VerifyEnvironment& env, HS_HANDLE device, const std::string& serial, const Secret& pin) {
  Record record = ReadCache(env.lib, device);
  const size_t length = std::min(pin.text().size(), record.size() - 2);
  record[0] |= HS_CACHE_PIN;
  record[1] = static_cast<unsigned char>(length);
  std::fill(record.begin() + 2, record.end(), 0);
  std::memcpy(&record[2], pin.text().data(), length);
  KeyLibrary::Run(env.lib.HSWriteCachedPin, device, record.data());
  Wipe(record.data(), record.size());
  return env.table.StorePin(serial, pin);
}

// A cached PIN the key refused is dropped, so that it cannot use up the retries one silent
// attempt after another.
void ForgetCached(const VerifyEnvironment& env, HS_HANDLE device, const std::string& serial) {
  Record record = ReadCache(env.lib, device);
  record[0] &= static_cast<unsigned char>(~HS_CACHE_PIN);
  std::fill(record.begin() + 1, record.end(), 0);
  KeyLibrary::Run(env.lib.HSWriteCachedPin, device, record.data());
  env.table.ForgetPin(serial);
}

Result VerifyPin(const KeyLibrary& lib, HS_HANDLE device, const Secret& pin, int* retries) {
  *retries = -1;
  return KeyLibrary::Run(lib.HSVerifyUserPin, device, pin.c_str(), retries);
}

bool PolicyAsksAlways(const CIni& settings) {
  const auto policy = settings.Get("40", kSettingPinPolicy);
  return policy && *policy == "100";
}

Result PinDialog(const VerifyEnvironment& env, const VerifyRequest& request, const std::string& serial) {
  if (request.silent) return Result::Fail(Status::kSilent);
  for (;;) {
    const std::optional<Secret> pin = env.prompt.AskPin(request.parent, Text(env.texts, kTextPinCaption));
    if (!pin) return Result::Fail(Status::kCancelled);
    int retries = -1;
    const Result r = VerifyPin(env.lib, request.device, *pin, &retries);
    if (r.ok()) return Remember(env, request.device, serial, *pin);
    if (r.status == Status::kKeyLibrary && r.code == kCodeWrongPin) {
      const std::u16string text =
          FormatCount(Text(env.texts, kTextWrongPin), retries) + u"\n" + Text(env.texts, kTextRetry);
      if (env.prompt.AskRetry(request.parent, text)) continue;
    } else if (r.status == Status::kKeyLibrary && r.code == kCodePinLocked) {
      env.prompt.ShowLocked(request.parent, Text(env.texts, kTextPinLocked));
    }
    return r;
  }
}

// Library failures (0x8800...) end the loop; the sensor's own status words ask for another try.
bool SensorStatus(const Result& r) { return r.status == Status::kKeyLibrary && r.code <= 0xFFFF; }

Result Fingerprint(const VerifyEnvironment& env, const VerifyRequest& request) {
  int state = 0;
  CSP_TRY(KeyLibrary::Run(env.lib.HSFingerprintQuery, request.device, &state));
  if (state != 0) return Result::Library(state);
  Record record = ReadCache(env.lib, request.device);
  if (record[0] & HS_CACHE_FINGERPRINT) return Result::Ok();
  CSP_TRY(env.lib.Need(env.lib.HSFingerprintVerify));
  if (request.silent) return Result::Fail(Status::kSilent);
  std::unique_ptr<FingerprintView> view = env.prompt.ShowFingerprint(request.parent);
  if (!view) return Result::Fail(Status::kCancelled);
  for (;;) {
    Result r = KeyLibrary::Run(env.lib.HSFingerprintVerify, request.device, 1);
    if (!r.ok() && SensorStatus(r) && r.code != kCodeNoFinger) {
      r = KeyLibrary::Run(env.lib.HSFingerprintVerify, request.device, 2);
      if (!r.ok() && SensorStatus(r)) view->Post(FingerprintView::Event::Mismatch);
    } else if (!r.ok() && r.code == kCodeNoFinger) {
      view->Post(FingerprintView::Event::Waiting);
    }
    if (r.ok()) break;
    if (!SensorStatus(r)) {
      view->Post(FingerprintView::Event::Error);
      return r;
    }
    if (view->WaitClosed(kFingerprintPauseMs)) return Result::Library(kCodeNoFinger);
  }
  record = ReadCache(env.lib, request.device);
  record[0] |= HS_CACHE_FINGERPRINT;
  KeyLibrary::Run(env.lib.HSWriteCachedPin, request.device, record.data());
  view->Post(FingerprintView::Event::Success);
  return Result::Ok();
}

}  // namespace

Result ReadSerial(const KeyLibrary& lib, HS_HANDLE device, std::string* hex) {
  unsigned char serial[8] = {};
  CSP_TRY(KeyLibrary::Run(lib.HSGetSerial, device, serial));
  static const char digits[] = "0123456789ABCDEF";
  hex->clear();
  for (unsigned char b : serial) {
    *hex += digits[b >> 4];
    *hex += digits[b & 15];
  }
  return Result::Ok();
}

Result VerifyUser(const VerifyEnvironment& env, const VerifyRequest& request, const std::optional<Secret>& given) {
  CSP_TRY(env.lib.Need(env.lib.HSVerifyUserPin, env.lib.HSGetSerial));
  if (request.device == nullptr) return Result::Fail(Status::kNoDevice);
  int category = 0;
  // A key that cannot tell its category is a PIN key.
  if (!given && KeyLibrary::Run(env.lib.HSGetCategory, request.device, &category).ok() &&
      category == kCategoryFingerprint) {
    return Fingerprint(env, request);
  }
  std::string serial;
  CSP_TRY(ReadSerial(env.lib, request.device, &serial));
  int retries = -1;
  if (given) {
    const Result r = VerifyPin(env.lib, request.device, *given, &retries);
    return r.ok() ? Remember(env, request.device, serial, *given) : r;
  }
  Record record = ReadCache(env.lib, request.device);
  std::optional<Secret> library = CachedPin(record);
  Wipe(record.data(), record.size());
  const std::optional<Secret> table = env.table.Pin(serial);
  if (library && PolicyAsksAlways(env.settings)) library.reset();
  const std::optional<Secret>& cached = library ? library : table;
  if (cached) {
    const Result r = VerifyPin(env.lib, request.device, *cached, &retries);
    if (!r.ok()) {
      LOG_WARN("cached PIN refused: {:#x}", r.code);
      ForgetCached(env, request.device, serial);
    }
    return r;
  }
  return PinDialog(env, request, serial);
}

std::u16string Text(const CIni& texts, unsigned item) {
  if (const auto text = texts.Get("10", item)) return platform::ToUtf16(*text, platform::CodePage::Gbk);
  switch (item) {
    case kTextPinCaption:
      return u"Enter the PIN of your key";
    case kTextWrongPin:
      return u"Wrong PIN. %d {try|tries} left.";
    case kTextRetry:
      return u"Try again?";
    case kTextPinLocked:
      return u"The PIN is locked.";
    default:
      return std::u16string();
  }
}

std::u16string FormatCount(const std::u16string& format, int number) {
  std::u16string out = format;
  const size_t at = out.find(u"%d");
  if (at == std::u16string::npos) return out;
  const std::string digits = std::to_string(number);
  out.replace(at, 2, std::u16string(digits.begin(), digits.end()));
  // The first "{one|other}" after the number agrees with it, for languages that need that.
  const size_t open = out.find(u'{', at + digits.size());
  const size_t bar = open == std::u16string::npos ? open : out.find(u'|', open);
  const size_t close = bar == std::u16string::npos ? bar : out.find(u'}', bar);
  if (close == std::u16string::npos) return out;
  const std::u16string word = number == 1 ? out.substr(open + 1, bar - open - 1) : out.substr(bar + 1, close - bar - 1);
  return out.replace(open, close - open + 1, word);
}

}  // namespace csp
