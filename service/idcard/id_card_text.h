// The service's reading of the card's 256-byte text block (UTF-16LE, blank-padded fields) into
// the ten answer fields, for resident ID cards and foreign permanent resident cards (an "I" at
// byte 248). Keeps the last fingerprint block for the fingerprint answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class IdCardText {
 public:
  void Load(const uint8_t* block, size_t length);
  void SetFingerprint(const uint8_t* data, size_t length);

  bool IsForeign() const;
  // UTF-8 texts.
  std::string Name() const;
  std::string Sex() const;
  std::string Address() const;
  std::string BirthYear() const;
  std::string BirthMon() const;
  std::string BirthDay() const;
  std::string IdNo() const;
  std::string Police() const;
  std::string ValidateBegin() const;
  std::string ValidateEnd() const;
  // The name as UTF-16, for the photo file name.
  std::u16string NameUtf16() const;
  const std::vector<uint8_t>& Fingerprint() const { return fingerprint_; }

 private:
  // Bytes [first, last] as UTF-16 up to the first zero unit, trailing white space removed.
  std::u16string Range(size_t first, size_t last) const;
  std::string Utf8(size_t first, size_t last) const;
  std::string Dotted(size_t y0, size_t y1, size_t m0, size_t m1, size_t d0, size_t d1) const;

  uint8_t block_[256] = {};
  std::vector<uint8_t> fingerprint_;
};

// The one instance the routes share.
IdCardText& CardText();
