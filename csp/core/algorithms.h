// The algorithms the provider offers: the 18 entries its algorithm enumeration reports, and
// what each algorithm is to the rest of the provider (hash, RSA, block or stream cipher).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace csp {

constexpr uint32_t kCalgMd2 = 0x8001, kCalgMd5 = 0x8003, kCalgSha1 = 0x8004, kCalgSslShaMd5 = 0x8008;
constexpr uint32_t kCalgRsaSign = 0x2400, kCalgRsaKeyx = 0xA400;
constexpr uint32_t kCalgRc2 = 0x6602, kCalgRc4 = 0x6801, kCalgDes = 0x6601, kCalg3Des = 0x6603, kCalg3Des112 = 0x6609;
constexpr uint32_t kCalgSsf33 = 0x66FF, kCalgScb2 = 0x66FE;
constexpr uint32_t kAtKeyExchange = 1, kAtSignature = 2;

struct AlgorithmEntry {
  uint32_t id;  // as reported: SSF33 and SCB2 XORed with 0x6600
  uint32_t bits;
  std::string name;
};

// The enumeration's entries in order.
const std::vector<AlgorithmEntry>& AlgorithmList();

enum class AlgorithmKind { Unknown, Hash, Rsa, Block, Stream };

struct AlgorithmInfo {
  AlgorithmKind kind = AlgorithmKind::Unknown;
  uint32_t hashBytes = 0;    // hashes: the digest's length
  uint32_t blockBytes = 0;   // block ciphers
  uint32_t defaultBits = 0;  // session keys: the key length without a size in the flags
  uint32_t minBits = 0, maxBits = 0;
};

// What `id` is; session-key algorithms accept the identifiers of the list and SSF33 and SCB2
// under both their own (0x66FF, 0x66FE) and their reported (0xFF, 0xFE) numbers.
AlgorithmInfo Describe(uint32_t id);
// The provider's own number for an algorithm identifier a caller may give (0xFF -> 0x66FF).
uint32_t Canonical(uint32_t id);

}  // namespace csp
