#include "algorithms.h"

namespace csp {
namespace {

// Our own ciphers travel with their class bits cleared, so that callers that know only the
// standard algorithms do not mistake them for one.
AlgorithmEntry Entry(uint32_t id, uint32_t bits, const char* name) {
  const std::string n = name;
  const bool own = n.find("SSF33") != std::string::npos || n.find("SCB2") != std::string::npos;
  return AlgorithmEntry{own ? id ^ 0x6600 : id, bits, n};
}

}  // namespace

const std::vector<AlgorithmEntry>& AlgorithmList() {
  static const std::vector<AlgorithmEntry> list = {
      Entry(kCalgSha1, 160, "SHA1"),
      Entry(kCalgMd5, 128, "MD5"),
      Entry(kCalgMd2, 128, "MD2"),
      Entry(kCalgSslShaMd5, 288, "SSL3_SHAMD5"),
      Entry(kCalgRsaSign, 1024, "RSA_SIGNATURE"),
      Entry(kCalgRsaKeyx, 1024, "RSA_KEYEXCHANGE"),
      Entry(kCalgRsaSign, 2048, "RSA_SIGNATURE"),
      Entry(kCalgRsaKeyx, 2048, "RSA_KEYEXCHANGE"),
      Entry(kCalgRc2, 40, "RC2"),
      Entry(kCalgRc2, 64, "RC2"),
      Entry(kCalgRc2, 128, "RC2"),
      Entry(kCalgRc4, 40, "RC4"),
      Entry(kCalgRc4, 128, "RC4"),
      Entry(kCalgDes, 56, "DES"),
      Entry(kCalg3Des, 168, "3DES"),
      Entry(kCalg3Des112, 112, "3DES_112"),
      Entry(kCalgSsf33, 128, "CALG_SSF33"),
      Entry(kCalgScb2, 128, "CALG_SCB2"),
  };
  return list;
}

uint32_t Canonical(uint32_t id) {
  if (id == (kCalgSsf33 ^ 0x6600)) return kCalgSsf33;
  if (id == (kCalgScb2 ^ 0x6600)) return kCalgScb2;
  return id;
}

AlgorithmInfo Describe(uint32_t id) {
  AlgorithmInfo a;
  switch (Canonical(id)) {
    case kCalgMd2:
    case kCalgMd5:
      a.kind = AlgorithmKind::Hash;
      a.hashBytes = 16;
      break;
    case kCalgSha1:
      a.kind = AlgorithmKind::Hash;
      a.hashBytes = 20;
      break;
    case kCalgSslShaMd5:
      a.kind = AlgorithmKind::Hash;
      a.hashBytes = 36;
      break;
    case kCalgRsaSign:
    case kCalgRsaKeyx:
      a = {AlgorithmKind::Rsa, 0, 0, 2048, 1024, 2048};
      break;
    case kCalgRc2:
      a = {AlgorithmKind::Block, 0, 8, 128, 40, 128};
      break;
    case kCalgRc4:
      a = {AlgorithmKind::Stream, 0, 0, 128, 40, 128};
      break;
    case kCalgDes:
      a = {AlgorithmKind::Block, 0, 8, 56, 56, 56};
      break;
    case kCalg3Des:
      a = {AlgorithmKind::Block, 0, 8, 168, 168, 168};
      break;
    case kCalg3Des112:
      a = {AlgorithmKind::Block, 0, 8, 112, 112, 112};
      break;
    case kCalgSsf33:
    case kCalgScb2:
      a = {AlgorithmKind::Block, 0, 16, 128, 128, 128};
      break;
    default:
      break;
  }
  return a;
}

}  // namespace csp
