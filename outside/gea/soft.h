// The stand-in's software cryptography over libgcrypt: randomness, RSA, hashes (with MD2,
// which libgcrypt lacks, done here) and the block and stream ciphers. SSF33 and SCB2 are the
// key's own undisclosed ciphers; the simulated key runs SM4 (GB/T 32907) in SSF33's place and
// Camellia-128 (RFC 3713) in SCB2's.
#pragma once

#include <memory>
#include <optional>

#include "der.h"

namespace gea {

constexpr int kAlgMd2 = 0x8001, kAlgMd5 = 0x8003, kAlgSha1 = 0x8004, kAlgSslShaMd5 = 0x8008;
constexpr int kAlgRc2 = 0x6602, kAlgRc4 = 0x6801, kAlgDes = 0x6601, kAlg3Des = 0x6603, kAlg3Des112 = 0x6609;
constexpr int kAlgSsf33 = 0x66FF, kAlgScb2 = 0x66FE;

void InitCrypto();
void Random(unsigned char* out, size_t length);

// Only 1024 and 2048 bits, public exponent 65537.
std::optional<RsaKey> RsaGenerate(int bits);
// x^e or x^d mod n for an input below n, as many bytes as the modulus; nullopt for an input
// of another length or not below n, or a key without the parts needed.
std::optional<Bytes> RsaPublic(const RsaKey& key, const unsigned char* in, size_t length);
std::optional<Bytes> RsaPrivate(const RsaKey& key, const unsigned char* in, size_t length);

// PKCS #1 v1.5 blocks of `size` bytes: type 1 (signatures) and type 2 (encryption).
std::optional<Bytes> PadType1(const unsigned char* data, size_t length, size_t size);
std::optional<Bytes> PadType2(const unsigned char* data, size_t length, size_t size);
std::optional<Bytes> UnpadType1(const Bytes& block);
std::optional<Bytes> UnpadType2(const Bytes& block);

size_t DigestLength(int algorithm);  // 0 for an unknown one

}  // namespace gea

// The contexts of gea.h.
struct HS_HASH_CTX {
  virtual ~HS_HASH_CTX() = default;
  virtual void Update(const unsigned char* data, size_t length) = 0;
  virtual Bytes Final() = 0;
  static std::unique_ptr<HS_HASH_CTX> Create(int algorithm);  // null for an unknown one
};

struct HS_SYM_CTX {
  virtual ~HS_SYM_CTX() = default;
  virtual bool Update(const unsigned char* in, size_t length, Bytes& out) = 0;
  virtual bool Final(Bytes& out) = 0;  // false: bad padding or a partial block
  // Null for an unknown algorithm or mode, or a key length it cannot take.
  static std::unique_ptr<HS_SYM_CTX> Create(int algorithm, const unsigned char* key, size_t keyLength,
                                            const unsigned char* iv, int mode, bool encipher, bool pad);
};
