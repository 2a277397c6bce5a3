// The key blobs of the Windows provider interface, all little-endian: PUBLICKEYBLOB and
// PRIVATEKEYBLOB of RSA keys, SIMPLEBLOB (a session key enciphered under an RSA key) and
// PLAINTEXTKEYBLOB. Big numbers go in and out big-endian, as the key library speaks them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace csp {

using Bytes = std::vector<unsigned char>;

constexpr uint8_t kSimpleBlob = 1, kPublicKeyBlob = 6, kPrivateKeyBlob = 7, kPlaintextKeyBlob = 8;
constexpr uint8_t kCurBlobVersion = 2;
constexpr size_t kBlobHeaderSize = 8;

struct BlobHeader {
  uint8_t type = 0;
  uint8_t version = 0;
  uint32_t alg = 0;
};

struct RsaParts {
  uint32_t alg = 0;
  uint32_t bits = 0;
  Bytes n, e, d, p, q, dp, dq, qinv;  // big-endian; the private ones empty in a public blob
};

struct SessionBlob {
  uint32_t alg = 0;      // the session key's algorithm
  uint32_t wrapAlg = 0;  // SIMPLEBLOB: the algorithm of the key it is enciphered under
  Bytes key;             // PLAINTEXTKEYBLOB: the key; SIMPLEBLOB: the cipher text, big-endian
};

Bytes Reversed(Bytes b);
uint32_t ReadLe32(const unsigned char* p);

std::optional<BlobHeader> ParseHeader(const unsigned char* data, size_t length);
Bytes PublicKeyBlob(uint32_t alg, const Bytes& modulus, uint32_t exponent, uint32_t bits);
// nullopt unless the blob is complete and consistent ("RSA1"/"RSA2", lengths from the bit count).
std::optional<RsaParts> ParsePublicKeyBlob(const unsigned char* data, size_t length);
std::optional<RsaParts> ParsePrivateKeyBlob(const unsigned char* data, size_t length);
Bytes SimpleBlob(uint32_t alg, uint32_t wrapAlg, const Bytes& cipherText);
std::optional<SessionBlob> ParseSimpleBlob(const unsigned char* data, size_t length);
Bytes PlaintextKeyBlob(uint32_t alg, const Bytes& key);
std::optional<SessionBlob> ParsePlaintextKeyBlob(const unsigned char* data, size_t length);

}  // namespace csp
