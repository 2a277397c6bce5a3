// The service's reading of the card's 256-byte text block into the ten answer fields, for
// resident ID cards and foreign permanent resident cards (an "I" at byte 248). Keeps the last
// fingerprint block for the fingerprint answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "card_answers.h"
#include "vnsdt_card_text.h"

class IdCardText {
 public:
  void Load(const uint8_t* block, size_t length);
  void SetFingerprint(const uint8_t* data, size_t length);

  bool IsForeign() const;
  // The ten fields, UTF-8.
  CardFields Fields() const;
  // The name as UTF-16, for the photo file name.
  std::u16string NameUtf16() const;
  const std::vector<uint8_t>& Fingerprint() const { return fingerprint_; }

 private:
  // A field up to its first zero unit, trailing white space removed.
  std::u16string Text(vnsdt::card_text::Field field) const;
  std::string Utf8(vnsdt::card_text::Field field) const;
  // A YYYYMMDD field as "YYYY.MM.DD", taken part by part.
  std::string Dotted(vnsdt::card_text::Field date) const;
  std::string Sex() const;
  std::string ValidateEnd() const;

  uint8_t block_[vnsdt::card_text::kBlockSize] = {};
  std::vector<uint8_t> fingerprint_;
};

// The one instance the routes share.
IdCardText& CardText();
