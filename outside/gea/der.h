// The stand-in's small DER layer: the PKCS #1 structures the key library reads and writes
// (RSAPublicKey, RSAPrivateKey, DigestInfo) and the objects of gea.h that carry them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gea.h"

using Bytes = std::vector<unsigned char>;

// Big-endian magnitude without leading zero bytes (zero is empty).
struct HS_BIGNUM {
  Bytes bytes;
};

namespace gea {

Bytes Trimmed(Bytes number);

// The parts of an RSA key as big-endian numbers; the private ones empty for a public key.
struct RsaKey {
  Bytes n, e, d, p, q, dp, dq, qinv;
  bool HasPrivate() const { return !d.empty() && !p.empty() && !q.empty(); }
  size_t Bits() const;
};

Bytes EncodePublicKey(const RsaKey& key);   // RSAPublicKey
Bytes EncodePrivateKey(const RsaKey& key);  // RSAPrivateKey (version 0)
// nullopt for anything but exactly one well-formed structure of `length` bytes at most; `used`
// receives the bytes it took.
std::optional<RsaKey> DecodePublicKey(const unsigned char* der, size_t length, size_t* used = nullptr);
std::optional<RsaKey> DecodePrivateKey(const unsigned char* der, size_t length, size_t* used = nullptr);

struct DigestInfo {
  Bytes oid;  // content octets
  Bytes digest;
};
std::optional<DigestInfo> DecodeDigestInfo(const unsigned char* der, size_t length, size_t* used = nullptr);
// The DER prefix a digest of `algorithm` (an ALG_ID) follows in a DigestInfo; nullopt for an
// algorithm without one.
std::optional<Bytes> DigestInfoPrefix(int algorithm);
int NidOfOid(const Bytes& oid);

HS_RSA* NewRsa(const RsaKey& key);
RsaKey FromRsa(const HS_RSA& rsa);

}  // namespace gea
