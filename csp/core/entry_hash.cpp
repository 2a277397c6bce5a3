// Hashes: making, feeding and ending them, their parameters, and signing and verifying them.
#include <algorithm>

#include "entry_shared.h"

namespace csp {
namespace {

int NidOf(uint32_t alg) {
  switch (alg) {
    case kCalgMd2:
      return HS_NID_MD2;
    case kCalgMd5:
      return HS_NID_MD5;
    case kCalgSha1:
      return HS_NID_SHA1;
    default:
      return HS_NID_UNDEF;
  }
}

}  // namespace

Result CreateHash(MV_HANDLE prov, uint32_t alg, MV_HANDLE key, uint32_t flags, MV_HANDLE* hash) {
  Call call(prov);
  CSP_TRY(call.Pointers(hash != nullptr).result());
  if (key != 0) return Result::Fail(Status::kBadKey);  // no keyed hashes (HMAC, MAC) here
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  if (Describe(alg).kind != AlgorithmKind::Hash) return Result::Fail(Status::kBadAlgorithm);
  auto h = std::make_shared<HashObject>();
  h->owner = call.c;
  h->alg = alg;
  CSP_TRY(KeyLibrary::Run(KeyLib().HSHashInit, static_cast<int>(alg), &h->state));
  *hash = TheProvider().AddHash(std::move(h));
  return Result::Ok();
}

Result HashData(MV_HANDLE prov, MV_HANDLE hash, const unsigned char* data, uint32_t length, uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.Hash(hash).Pointers(data != nullptr || length == 0).Flags(flags).LockHash().result());
  return HashMore(*call.hash, data, length);
}

Result DestroyHash(MV_HANDLE prov, MV_HANDLE hash) {
  Call call(prov);
  CSP_TRY(call.Hash(hash).result());
  TheProvider().DestroyHash(hash);
  return Result::Ok();
}

Result SetHashParam(MV_HANDLE prov, MV_HANDLE hash, uint32_t param, const unsigned char* data, uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.Hash(hash).Pointers(data != nullptr).Flags(flags).result());
  if (param != kHpHashVal) return Result::Fail(Status::kBadType);
  CSP_TRY(call.LockHash().result());
  HashObject* h = call.hash.get();
  // A value set by the caller (signing a hash made elsewhere) ends the hash.
  if (h->state != nullptr) {
    KeyLibrary::Run(KeyLib().HSHashFinal, h->state, static_cast<unsigned char*>(nullptr), static_cast<int*>(nullptr));
    h->state = nullptr;
  }
  h->value.assign(data, data + Describe(h->alg).hashBytes);
  h->finished = true;
  return Result::Ok();
}

Result GetHashParam(MV_HANDLE prov, MV_HANDLE hash, uint32_t param, unsigned char* data, uint32_t* length,
                    uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.Hash(hash).Pointers(length != nullptr).Flags(flags).LockHash().result());
  HashObject* h = call.hash.get();
  switch (param) {
    case kHpAlgid:
      return PutDword(h->alg, data, length);
    case kHpHashSize:
      return PutDword(Describe(h->alg).hashBytes, data, length);
    case kHpHashVal: {
      // A size query leaves the hash open for more data.
      if (data == nullptr) return Put(nullptr, Describe(h->alg).hashBytes, nullptr, length);
      if (*length < Describe(h->alg).hashBytes) return Put(nullptr, Describe(h->alg).hashBytes, data, length);
      CSP_TRY(Finish(*h));
      return Put(h->value, data, length);
    }
    default:
      return Result::Fail(Status::kBadType);
  }
}

Result SignHash(MV_HANDLE prov, MV_HANDLE hash, uint32_t keySpec, uint32_t flags, unsigned char* signature,
                uint32_t* length) {
  Call call(prov);
  CSP_TRY(call.Hash(hash).Pointers(length != nullptr).Flags(flags, kCryptNoHashOid).result());
  Context* c = call.c;
  HashObject* h = call.hash.get();
  if (keySpec != kAtKeyExchange && keySpec != kAtSignature) return Result::Fail(Status::kNoKey);
  if (c->Verify()) return Result::Fail(Status::kContainerMissing);
  const KeyLibrary& lib = KeyLib();
  CSP_TRY(lib.Need(lib.HSHashPadding, lib.HSRSASign, lib.HS_RSA_free));
  Session session(*c);
  CSP_TRY(session.Open());
  HS_RSA* rsa = nullptr;
  CSP_TRY(ReadPublicKey(session.device, session.index, keySpec, &rsa));
  const uint32_t size = ModulusBytes(rsa);
  lib.HS_RSA_free(rsa);
  if (signature == nullptr || *length < size) return PutSizeOnly(size, signature, length);
  // Taken only now: the key's transaction comes first, as for every other object.
  std::lock_guard<std::mutex> lock(h->mutex);
  CSP_TRY(Finish(*h));
  CSP_TRY(Verify(*c));
  Bytes block(size);
  int blockSize = static_cast<int>(block.size());
  const int alg = (flags & kCryptNoHashOid) ? 0 : static_cast<int>(h->alg);
  CSP_TRY(KeyLibrary::Run(lib.HSHashPadding, alg, h->value.data(), static_cast<int>(h->value.size()),
                          static_cast<int>(size * 8), block.data(), &blockSize));
  Bytes out(size);
  int outSize = static_cast<int>(out.size());
  CSP_TRY(KeyLibrary::Run(lib.HSRSASign, session.device, session.index, static_cast<int>(keySpec), block.data(),
                          blockSize, out.data(), &outSize));
  out.resize(static_cast<size_t>(std::clamp(outSize, 0, static_cast<int>(size))));
  return Put(Reversed(out), signature, length);
}

Result VerifySignature(MV_HANDLE prov, MV_HANDLE hash, const unsigned char* signature, uint32_t length,
                       MV_HANDLE pubKey, uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.Hash(hash).Key(pubKey).result());
  HashObject* h = call.hash.get();
  KeyObject* k = call.key.get();
  if (k->rsa == nullptr) return Result::Fail(Status::kBadKey);
  CSP_TRY(call.Pointers(signature != nullptr).Flags(flags, kCryptNoHashOid).result());
  const KeyLibrary& lib = KeyLib();
  CSP_TRY(lib.Need(lib.HSRSAVerifySoft, lib.HS_d2i_X509_SIG, lib.HS_OBJ_obj2nid, lib.HS_X509_SIG_free));
  std::lock_guard<std::mutex> hashLock(h->mutex);
  CSP_TRY(Finish(*h));
  std::lock_guard<std::mutex> keyLock(k->mutex);
  if (length != ModulusBytes(k->rsa)) return Result::Fail(Status::kBadSignature);
  const Bytes big = Reversed(Bytes(signature, signature + length));
  Bytes block(length);
  int size = static_cast<int>(block.size());
  if (!KeyLibrary::Run(lib.HSRSAVerifySoft, k->rsa, big.data(), static_cast<int>(big.size()), block.data(), &size)
           .ok()) {
    return Result::Fail(Status::kBadSignature);
  }
  block.resize(static_cast<size_t>(std::clamp(size, 0, static_cast<int>(length))));
  if ((flags & kCryptNoHashOid) || NidOf(h->alg) == HS_NID_UNDEF) {
    return block == h->value ? Result::Ok() : Result::Fail(Status::kBadSignature);
  }
  const unsigned char* p = block.data();
  HS_X509_SIG* info = lib.HS_d2i_X509_SIG(nullptr, &p, static_cast<long>(block.size()));
  if (info == nullptr) return Result::Fail(Status::kBadSignature);
  const bool match = p == block.data() + block.size() && info->algorithm != nullptr && info->digest != nullptr &&
                     lib.HS_OBJ_obj2nid(info->algorithm) == NidOf(h->alg) &&
                     Bytes(info->digest->data, info->digest->data + info->digest->length) == h->value;
  lib.HS_X509_SIG_free(info);
  return match ? Result::Ok() : Result::Fail(Status::kBadSignature);
}

}  // namespace csp
