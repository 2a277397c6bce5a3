// Keys: generating, deriving, the user's key pairs, copies, and the keys' parameters.
#include <algorithm>
#include <cstdlib>

#include "entry_shared.h"

namespace csp {

Result GenKey(MV_HANDLE prov, uint32_t alg, uint32_t flags, MV_HANDLE* key) {
  Call call(prov);
  CSP_TRY(call.Pointers(key != nullptr).result());
  Context* c = call.c;
  const KeyLibrary& lib = KeyLib();
  uint32_t bits = flags >> 16;
  const uint32_t options = flags & 0xFFFF;
  uint32_t usage = 0;
  if (alg == kAtKeyExchange || alg == kCalgRsaKeyx) usage = kAtKeyExchange;
  if (alg == kAtSignature || alg == kCalgRsaSign) usage = kAtSignature;
  if (usage != 0) {
    if (bits == 0) {
      char value[16] = {};
      int size = static_cast<int>(sizeof value);
      bits = KeyLibrary::Run(lib.HSGetConfigValueString, "RSAKeyBits", value, &size).ok()
                 ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10))
                 : 2048;
    }
    if (bits != 1024 && bits != 2048) return Result::Fail(Status::kBadFlags);
    if (c->Verify()) return Result::Fail(Status::kContainerMissing);
    CSP_TRY(lib.Need(lib.HSGenRSAEx, lib.HS_d2i_RSAPublicKey, lib.HS_BN_num_bytes));
    Session session(*c);
    CSP_TRY(session.OpenVerified());
    unsigned char der[kMaxDer];
    int size = static_cast<int>(sizeof der);
    CSP_TRY(KeyLibrary::Run(lib.HSGenRSAEx, session.device, session.index, static_cast<int>(usage),
                            static_cast<int>(bits), der, &size));
    const unsigned char* p = der;
    HS_RSA* rsa = lib.HS_d2i_RSAPublicKey(nullptr, &p, size);
    if (rsa == nullptr) return Result::Fail(Status::kBadKey);
    *key = TheProvider().AddKey(NewPairKey(c, usage, rsa));
    return Result::Ok();
  }
  AlgorithmInfo info;
  CSP_TRY(SessionAlgorithm(alg, &info));
  if (bits == 0) bits = info.defaultBits;
  if (bits < info.minBits || bits > info.maxBits || bits % 8 != 0) return Result::Fail(Status::kBadFlags);
  Bytes secret(KeyBytes(alg, bits));
  CSP_TRY(KeyLibrary::Run(lib.HSGenRandom, TheProvider().Device(*c), secret.data(), static_cast<int>(secret.size())));
  *key = TheProvider().AddKey(NewSessionKey(c, alg, bits, std::move(secret), (options & kCryptExportable) != 0));
  return Result::Ok();
}

Result DeriveKey(MV_HANDLE prov, uint32_t alg, MV_HANDLE hash, uint32_t flags, MV_HANDLE* key) {
  Call call(prov);
  CSP_TRY(call.Pointers(key != nullptr).Hash(hash).result());
  HashObject* h = call.hash.get();
  AlgorithmInfo info;
  CSP_TRY(SessionAlgorithm(alg, &info));
  uint32_t bits = flags >> 16;
  if (bits == 0) bits = info.defaultBits;
  if (bits < info.minBits || bits > info.maxBits || bits % 8 != 0) return Result::Fail(Status::kBadFlags);
  const size_t needed = KeyBytes(alg, bits);
  std::lock_guard<std::mutex> lock(h->mutex);
  CSP_TRY(Finish(*h));
  Bytes material = h->value;
  if (material.size() < needed) {
    // Longer keys than the hash come from two further hashes of the value, padded with 0x36
    // and with 0x5C to 64 bytes, one after the other.
    const KeyLibrary& lib = KeyLib();
    material.clear();
    for (unsigned char fill : {0x36, 0x5C}) {
      Bytes buffer(64, fill);
      for (size_t i = 0; i < h->value.size() && i < buffer.size(); ++i) buffer[i] ^= h->value[i];
      HS_HASH_CTX* state = nullptr;
      CSP_TRY(KeyLibrary::Run(lib.HSHashInit, static_cast<int>(h->alg), &state));
      KeyLibrary::Run(lib.HSHashUpdate, state, buffer.data(), static_cast<int>(buffer.size()));
      unsigned char digest[64];
      int size = static_cast<int>(sizeof digest);
      CSP_TRY(KeyLibrary::Run(lib.HSHashFinal, state, digest, &size));
      material.insert(material.end(), digest, digest + size);
    }
    if (material.size() < needed) return Result::Fail(Status::kBadAlgorithm);
  }
  material.resize(needed);
  *key = TheProvider().AddKey(NewSessionKey(call.c, alg, bits, std::move(material), (flags & kCryptExportable) != 0));
  return Result::Ok();
}

Result DestroyKey(MV_HANDLE prov, MV_HANDLE key) {
  Call call(prov);
  CSP_TRY(call.Key(key).result());
  TheProvider().DestroyKey(key);
  return Result::Ok();
}

Result GetUserKey(MV_HANDLE prov, uint32_t keySpec, MV_HANDLE* key) {
  Call call(prov);
  CSP_TRY(call.Pointers(key != nullptr).result());
  if (keySpec != kAtKeyExchange && keySpec != kAtSignature) return Result::Fail(Status::kNoKey);
  if (call.c->Verify()) return Result::Fail(Status::kContainerMissing);
  Session session(*call.c);
  CSP_TRY(session.Open());
  HS_RSA* rsa = nullptr;
  CSP_TRY(ReadPublicKey(session.device, session.index, keySpec, &rsa));
  *key = TheProvider().AddKey(NewPairKey(call.c, keySpec, rsa));
  return Result::Ok();
}

Result DuplicateKey(MV_HANDLE prov, MV_HANDLE key, uint32_t flags, MV_HANDLE* duplicate) {
  Call call(prov);
  CSP_TRY(call.Key(key).Pointers(duplicate != nullptr).Flags(flags).LockKey().result());
  const KeyObject* k = call.key.get();
  auto copy = std::make_shared<KeyObject>();
  static_cast<KeyFields&>(*copy) = *k;
  // The key library's objects stay the original's: the public key is made anew below, and a
  // cipher under way is not carried over.
  copy->rsa = nullptr;
  copy->running = nullptr;
  copy->runningEncrypt = false;
  if (k->rsa != nullptr) {
    const KeyLibrary& lib = KeyLib();
    CSP_TRY(lib.Need(lib.HS_RSA_new, lib.HS_BN_bin2bn, lib.HS_BN_bn2bin, lib.HS_BN_num_bytes));
    copy->rsa = lib.HS_RSA_new();
    for (auto part : {&HS_RSA::n, &HS_RSA::e}) {
      Bytes b(static_cast<size_t>(lib.HS_BN_num_bytes(k->rsa->*part)));
      lib.HS_BN_bn2bin(k->rsa->*part, b.data());
      copy->rsa->*part = lib.HS_BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr);
    }
  }
  *duplicate = TheProvider().AddKey(std::move(copy));
  return Result::Ok();
}

Result NotOffered() { return Result::Fail(Status::kNotOffered); }

Result SetKeyParam(MV_HANDLE prov, MV_HANDLE key, uint32_t param, const unsigned char* data, uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.Key(key).Pointers(data != nullptr).Flags(flags).LockKey().result());
  KeyObject* k = call.key.get();
  const AlgorithmInfo info = Describe(k->alg);
  switch (param) {
    case kKpCertificate: {
      if (k->kind != KeyObject::Kind::Pair) return Result::Fail(Status::kBadKey);
      // The certificate carries its own length in its outer DER header.
      if (data[0] != 0x30) return Result::Fail(Status::kBadData);
      size_t length = data[1], header = 2;
      if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 3) return Result::Fail(Status::kBadData);
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | data[2 + i];
        header += count;
      }
      if (header + length > kMaxCertificate) return Result::Fail(Status::kBadLength);
      Session session(*call.c);
      CSP_TRY(session.OpenVerified());
      return KeyLibrary::Run(KeyLib().HSWriteCert, session.device, session.index, static_cast<int>(k->usage), data,
                             static_cast<int>(header + length));
    }
    case kKpIv:
      if (!IsSession(*k) || info.blockBytes == 0) return Result::Fail(Status::kBadType);
      k->iv.assign(data, data + info.blockBytes);
      return Result::Ok();
    case kKpMode: {
      const uint32_t mode = ReadLe32(data);
      if (!IsSession(*k) || info.blockBytes == 0) return Result::Fail(Status::kBadType);
      if (mode != kCryptModeCbc && mode != kCryptModeEcb) return Result::Fail(Status::kBadData);
      k->mode = mode;
      return Result::Ok();
    }
    case kKpPadding:
      return ReadLe32(data) == kPkcs5Padding ? Result::Ok() : Result::Fail(Status::kBadData);
    case kKpPermissions: {
      // Permissions only narrow: a key made non-exportable stays so.
      const uint32_t permissions = ReadLe32(data);
      if ((permissions & ~k->permissions) != 0) return Result::Fail(Status::kBadKeyState);
      k->permissions = permissions;
      return Result::Ok();
    }
    case kKpEffectiveKeyLen:
      if (!IsSession(*k)) return Result::Fail(Status::kBadType);
      k->effectiveBits = ReadLe32(data);
      return Result::Ok();
    case kKpSalt:
      if (!IsSession(*k)) return Result::Fail(Status::kBadType);
      return Result::Ok();
    default:
      return Result::Fail(Status::kBadType);
  }
}

Result GetKeyParam(MV_HANDLE prov, MV_HANDLE key, uint32_t param, unsigned char* data, uint32_t* length,
                   uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.Key(key).Pointers(length != nullptr).Flags(flags).LockKey().result());
  const KeyObject* k = call.key.get();
  const AlgorithmInfo info = Describe(k->alg);
  switch (param) {
    case kKpAlgid:
      return PutDword(ReportedAlgorithm(k->alg), data, length);
    case kKpKeyLen:
      return PutDword(k->bits, data, length);
    case kKpBlockLen:
      return PutDword(IsSession(*k) ? info.blockBytes * 8 : k->bits, data, length);
    case kKpPermissions:
      return PutDword(k->permissions, data, length);
    case kKpPadding:
      return PutDword(kPkcs5Padding, data, length);
    case kKpMode:
      if (!IsSession(*k) || info.blockBytes == 0) return Result::Fail(Status::kBadType);
      return PutDword(k->mode, data, length);
    case kKpModeBits:
      return PutDword(8, data, length);
    case kKpEffectiveKeyLen:
      if (!IsSession(*k)) return Result::Fail(Status::kBadType);
      return PutDword(k->effectiveBits, data, length);
    case kKpIv:
      if (!IsSession(*k) || info.blockBytes == 0) return Result::Fail(Status::kBadType);
      return Put(k->iv, data, length);
    case kKpSalt:
      if (!IsSession(*k)) return Result::Fail(Status::kBadType);
      return Put(k->salt, data, length);
    case kKpCertificate: {
      if (k->kind != KeyObject::Kind::Pair) return Result::Fail(Status::kBadKey);
      Session session(*call.c);
      CSP_TRY(session.Open());
      Bytes certificate(kMaxCertificate);
      int size = static_cast<int>(certificate.size());
      CSP_TRY(KeyLibrary::Run(KeyLib().HSReadCert, session.device, session.index, static_cast<int>(k->usage),
                              certificate.data(), &size));
      certificate.resize(static_cast<size_t>(std::clamp(size, 0, static_cast<int>(kMaxCertificate))));
      return Put(certificate, data, length);
    }
    default:
      return Result::Fail(Status::kBadType);
  }
}

}  // namespace csp
