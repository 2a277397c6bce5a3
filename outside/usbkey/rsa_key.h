// The key's RSA-2048 key pair and the hashes around it, over libgcrypt.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace usbkey {

constexpr int kRsaBits = 2048;
constexpr size_t kSignatureBytes = kRsaBits / 8;
constexpr size_t kSha256Bytes = 32;

class RsaKey {
 public:
  // A new key pair (public exponent 65537); null when libgcrypt fails.
  static std::unique_ptr<RsaKey> Generate();
  // A key pair stored earlier with Canonical(); null when the text is not one.
  static std::unique_ptr<RsaKey> FromCanonical(std::string_view canonical);
  ~RsaKey();
  RsaKey(const RsaKey&) = delete;
  RsaKey& operator=(const RsaKey&) = delete;

  // The private key as a canonical S-expression, for the key's file.
  std::string Canonical() const;
  // Unsigned big-endian magnitudes of the public key.
  std::string Modulus() const;
  std::string PublicExponent() const;
  // RSASSA-PKCS1-v1_5 with SHA-256 over `message`: kSignatureBytes bytes, or empty on failure.
  std::string SignSha256(std::string_view message) const;
  // Whether `signature` is this key's signature of `message` (as SignSha256 makes them).
  bool VerifySha256(std::string_view message, std::string_view signature) const;

 private:
  explicit RsaKey(void* sexp) : sexp_(sexp) {}
  std::string Parameter(const char* name) const;
  void* sexp_;  // gcry_sexp_t of the whole key pair
};

std::string Sha256(std::string_view data);
// Unpredictable bytes (for salts and certificate serial numbers).
std::string RandomBytes(size_t count);

}  // namespace usbkey
