// Decoding of the card's text block into the GBK record and of its photo block into a BMP, the
// latter through the outside decoder library bound when this library is loaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "status.h"

namespace vnsdt {

constexpr size_t kRecordSize = 300;
constexpr size_t kWltSize = 1024;
constexpr size_t kBmpSize = 38862;

// The text block (`length` bytes) into the 300-byte record; a given record is cleared first.
// kInvalidArgument: no text, no record, or too short a block.
Status DecodeText(const uint8_t* text, size_t length, uint8_t* record);

// The photo block into a BMP (type 1) or its Base64 text (type 2), for the caller's buffer
// (capacity in *length on entry, the size on return) and/or the caller's file.
Status DecodePhoto(const uint8_t* wlt, int type, const char* path, uint8_t* buffer, int* length);

}  // namespace vnsdt
