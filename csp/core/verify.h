// User verification before the key's private operations: PIN (silently with a cached PIN,
// else through the PIN dialog) or, for keys of the fingerprint category, the fingerprint.
#pragma once

#include <optional>
#include <string>

#include "config.h"
#include "keylib.h"
#include "prompt.h"
#include "reader_table.h"
#include "secret.h"
#include "status.h"

namespace csp {

constexpr int kCategoryFingerprint = 4;
constexpr uint32_t kCodeCancelled = 0x88000061;
constexpr uint32_t kCodeWrongPin = 0x8800003D;
constexpr uint32_t kCodePinLocked = 0x8800003E;
constexpr uint32_t kCodeNoFinger = 0x6955;
// Between two looks at the fingerprint sensor.
constexpr uint32_t kFingerprintPauseMs = 150;

struct VerifyEnvironment {
  const KeyLibrary& lib;
  ReaderTable& table;
  const CIni& settings;
  const CIni& texts;
  Prompt& prompt;
};

struct VerifyRequest {
  HS_HANDLE device = nullptr;
  bool silent = false;     // the context may not ask the person anything
  void* parent = nullptr;  // the caller's window for the dialogs
};

// Verifies the key's user. A given PIN (the PIN parameters) is verified as it is and cached
// on success; otherwise a cached PIN, the PIN dialog or the fingerprint.
Result VerifyUser(const VerifyEnvironment& env, const VerifyRequest& request,
                  const std::optional<Secret>& given = std::nullopt);

// The key's serial number as 16 hexadecimal digits.
Result ReadSerial(const KeyLibrary& lib, HS_HANDLE device, std::string* hex);

// A text of the texts file in UTF-16; the built-in English one when the file lacks it.
std::u16string Text(const CIni& texts, unsigned item);
// `format` with its first "%d" replaced by `number` (the texts come from a file: no printf), and
// the first "{one|other}" after it by the word that agrees with the number.
std::u16string FormatCount(const std::u16string& format, int number);

}  // namespace csp
