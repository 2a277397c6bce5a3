// What the key library's export files share: the simulation's settings and call counts, the
// result codes, and the copy into a caller's buffer.
#pragma once

#include <cstring>
#include <string>

#include "der.h"
#include "gea.h"
#include "standin.h"

namespace gea::api {

// Settings: keys (readers, 1..8), present (bit per reader), category (0: as the key says),
// finger_after (sensor polls before a finger lies on it), finger_match (1: the finger matches,
// 2: only the second method matches it, 0: never), fp_unit (the sensor's state), confirm (the
// holder confirms on the key's display). Each forceable function answers with a forced result.
standin::Device& Sim();

inline int Err(unsigned code) { return static_cast<int>(code); }

// Copies into the caller's buffer: "in: room, out: bytes" (texts with their terminator).
inline int PutBytes(const unsigned char* data, size_t length, unsigned char* out, int* size) {
  if (size == nullptr) return Err(HS_ERR_PARAM);
  const int room = *size;
  *size = static_cast<int>(length);
  if (out == nullptr || room < 0 || static_cast<size_t>(room) < length) return Err(HS_ERR_BUFFER);
  if (length > 0) std::memcpy(out, data, length);
  return HS_OK;
}
inline int PutBytes(const Bytes& data, unsigned char* out, int* size) {
  return PutBytes(data.data(), data.size(), out, size);
}
inline int PutText(const std::string& text, char* out, int* size) {
  return PutBytes(reinterpret_cast<const unsigned char*>(text.c_str()), text.size() + 1,
                  reinterpret_cast<unsigned char*>(out), size);
}

inline bool Readable(const void* data, int length) { return length >= 0 && (length == 0 || data != nullptr); }

}  // namespace gea::api
