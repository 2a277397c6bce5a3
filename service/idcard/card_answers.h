// The answers of the read route, shared by both reader families.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vnsdtapi.h"

struct CardFields {
  std::string name, sex, address, birthYear, birthMon, birthDay, idNo, police, validateBegin, validateEnd;
};

// What a successful read hands to the answer.
struct CardRead {
  CardFields fields;
  int result = VNSDTAPI_SUCCESS;
  std::vector<uint8_t> photo;        // the BMP file
  std::vector<uint8_t> fingerprint;  // for the read types that carry one
  std::string cardNo;
};

// ReadType 0: the fields; 1: the photo; 2: photo, fields and card number; any other: the same
// with the fingerprint.
std::string CardAnswer(int readType, const CardRead& card);
// {"return":code, "info":"..."} with a blank after the comma, the message in UTF-8.
std::string ErrorAnswer(int code, const char* info);
// Whether the read type answers with the fingerprint (and so reads it).
inline bool WithFingerprint(int readType) { return readType < 0 || readType > 2; }
