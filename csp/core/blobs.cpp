#include "blobs.h"

#include <algorithm>

namespace csp {
namespace {

constexpr uint32_t kRsa1 = 0x31415352, kRsa2 = 0x32415352;

void PutLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutHeader(Bytes& out, uint8_t type, uint32_t alg) {
  out.insert(out.end(), {type, kCurBlobVersion, 0, 0});
  PutLe32(out, alg);
}

// `length` bytes stored little-endian, as a big-endian number.
Bytes Number(const unsigned char* p, size_t length) { return Reversed(Bytes(p, p + length)); }

Bytes Trim(Bytes b) {
  b.erase(b.begin(), std::find_if(b.begin(), b.end(), [](unsigned char c) { return c != 0; }));
  return b;
}

}  // namespace

Bytes Reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

std::optional<BlobHeader> ParseHeader(const unsigned char* data, size_t length) {
  if (data == nullptr || length < kBlobHeaderSize) return std::nullopt;
  return BlobHeader{data[0], data[1], ReadLe32(data + 4)};
}

Bytes PublicKeyBlob(uint32_t alg, const Bytes& modulus, uint32_t exponent, uint32_t bits) {
  Bytes out;
  PutHeader(out, kPublicKeyBlob, alg);
  PutLe32(out, kRsa1);
  PutLe32(out, bits);
  PutLe32(out, exponent);
  Bytes n = Trim(modulus);
  const size_t size = (bits + 7) / 8;
  if (n.size() < size) n.insert(n.begin(), size - n.size(), 0);
  const Bytes le = Reversed(n);
  out.insert(out.end(), le.begin(), le.end());
  return out;
}

namespace {

std::optional<RsaParts> ParseRsa(const unsigned char* data, size_t length, uint8_t type, uint32_t magic) {
  const auto header = ParseHeader(data, length);
  if (!header || header->type != type || length < kBlobHeaderSize + 12) return std::nullopt;
  const unsigned char* p = data + kBlobHeaderSize;
  if (ReadLe32(p) != magic) return std::nullopt;
  RsaParts parts;
  parts.alg = header->alg;
  parts.bits = ReadLe32(p + 4);
  const uint32_t exponent = ReadLe32(p + 8);
  // 16384 bits is far beyond any key this provider handles; it keeps the sums below in range.
  if (parts.bits == 0 || parts.bits % 16 != 0 || parts.bits > 16384 || exponent == 0) return std::nullopt;
  for (int i = 3; i >= 0; --i) {
    if (exponent >> (8 * i)) parts.e.push_back(static_cast<unsigned char>(exponent >> (8 * i)));
  }
  const size_t k = parts.bits / 8, h = parts.bits / 16;
  const size_t needed = kBlobHeaderSize + 12 + k + (magic == kRsa2 ? 5 * h + k : 0);
  if (length < needed) return std::nullopt;
  p += 12;
  parts.n = Number(p, k);
  p += k;
  if (magic == kRsa2) {
    for (Bytes* half : {&parts.p, &parts.q, &parts.dp, &parts.dq, &parts.qinv}) {
      *half = Number(p, h);
      p += h;
    }
    parts.d = Number(p, k);
  }
  return parts;
}

}  // namespace

std::optional<RsaParts> ParsePublicKeyBlob(const unsigned char* data, size_t length) {
  return ParseRsa(data, length, kPublicKeyBlob, kRsa1);
}

std::optional<RsaParts> ParsePrivateKeyBlob(const unsigned char* data, size_t length) {
  return ParseRsa(data, length, kPrivateKeyBlob, kRsa2);
}

Bytes SimpleBlob(uint32_t alg, uint32_t wrapAlg, const Bytes& cipherText) {
  Bytes out;
  PutHeader(out, kSimpleBlob, alg);
  PutLe32(out, wrapAlg);
  const Bytes le = Reversed(cipherText);
  out.insert(out.end(), le.begin(), le.end());
  return out;
}

std::optional<SessionBlob> ParseSimpleBlob(const unsigned char* data, size_t length) {
  const auto header = ParseHeader(data, length);
  if (!header || header->type != kSimpleBlob || length <= kBlobHeaderSize + 4) return std::nullopt;
  SessionBlob blob{header->alg, ReadLe32(data + kBlobHeaderSize), {}};
  blob.key = Number(data + kBlobHeaderSize + 4, length - kBlobHeaderSize - 4);
  return blob;
}

Bytes PlaintextKeyBlob(uint32_t alg, const Bytes& key) {
  Bytes out;
  PutHeader(out, kPlaintextKeyBlob, alg);
  PutLe32(out, static_cast<uint32_t>(key.size()));
  out.insert(out.end(), key.begin(), key.end());
  return out;
}

std::optional<SessionBlob> ParsePlaintextKeyBlob(const unsigned char* data, size_t length) {
  const auto header = ParseHeader(data, length);
  if (!header || header->type != kPlaintextKeyBlob || length < kBlobHeaderSize + 4) return std::nullopt;
  const uint32_t size = ReadLe32(data + kBlobHeaderSize);
  if (size == 0 || size > length - kBlobHeaderSize - 4) return std::nullopt;
  const unsigned char* key = data + kBlobHeaderSize + 4;
  return SessionBlob{header->alg, 0, Bytes(key, key + size)};
}

}  // namespace csp
