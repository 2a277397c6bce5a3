// Key blobs: keys leaving the provider and coming into it.
#include <algorithm>

#include "entry_shared.h"

namespace csp {
namespace {

Bytes Modulus(const HS_RSA* rsa) {
  const KeyLibrary& lib = KeyLib();
  Bytes out(static_cast<size_t>(lib.HS_BN_num_bytes(rsa->n)));
  if (!out.empty() && lib.HS_BN_bn2bin != nullptr) lib.HS_BN_bn2bin(rsa->n, out.data());
  return out;
}

// A session key enciphered under an exchange key of the context.
Result ExportWrapped(const Context* c, const std::shared_ptr<KeyObject>& k, MV_HANDLE pubKey, unsigned char* data,
                     uint32_t* length) {
  const auto wrap = TheProvider().FindKey(c, pubKey);
  if (!wrap || wrap == k || !IsExchangeRsa(*wrap) || wrap->rsa == nullptr) return Result::Fail(Status::kBadKey);
  const uint32_t size = ModulusBytes(wrap->rsa);
  const size_t blobSize = kBlobHeaderSize + 4 + size;
  if (data == nullptr || *length < blobSize) return PutSizeOnly(blobSize, data, length);
  Bytes cipher(size);
  int cipherSize = static_cast<int>(cipher.size());
  CSP_TRY(KeyLibrary::Run(KeyLib().HSRSAEncryptSoft, wrap->rsa, k->secret.data(), static_cast<int>(k->secret.size()),
                          cipher.data(), &cipherSize));
  return Put(SimpleBlob(ReportedAlgorithm(k->alg), kCalgRsaKeyx, cipher), data, length);
}

// What an import needs besides the blob: the context, the caller's key handle and options.
struct Import {
  Context* c;
  const unsigned char* data;
  uint32_t length;
  MV_HANDLE pubKey;
  bool exportable;
  MV_HANDLE* key;
};

Result ImportPublic(const Import& in) {
  const auto parts = ParsePublicKeyBlob(in.data, in.length);
  if (!parts) return Result::Fail(Status::kBadData);
  if (parts->alg != kCalgRsaKeyx && parts->alg != kCalgRsaSign) return Result::Fail(Status::kBadAlgorithm);
  const KeyLibrary& lib = KeyLib();
  CSP_TRY(lib.Need(lib.HS_RSA_new, lib.HS_BN_bin2bn, lib.HS_BN_new, lib.HS_BN_set_word, lib.HS_BN_num_bytes));
  HS_RSA* rsa = lib.HS_RSA_new();
  rsa->n = lib.HS_BN_bin2bn(parts->n.data(), static_cast<int>(parts->n.size()), nullptr);
  rsa->e = lib.HS_BN_new();
  uint32_t exponent = 0;
  for (unsigned char b : parts->e) exponent = exponent << 8 | b;
  lib.HS_BN_set_word(rsa->e, exponent);
  *in.key = TheProvider().AddKey(NewRsaKey(in.c, KeyObject::Kind::Public, parts->alg, 0, rsa));
  return Result::Ok();
}

// A private key blob's key in the key library's DER form (PKCS #1).
Result PrivateKeyDer(const RsaParts& parts, Bytes* der) {
  const KeyLibrary& lib = KeyLib();
  CSP_TRY(lib.Need(lib.HS_RSA_new, lib.HS_RSA_free, lib.HS_BN_bin2bn, lib.HS_i2d_RSAPrivateKey));
  HS_RSA* rsa = lib.HS_RSA_new();
  const std::pair<HS_BIGNUM * HS_RSA::*, const Bytes*> fields[] = {
      {&HS_RSA::n, &parts.n}, {&HS_RSA::e, &parts.e},     {&HS_RSA::d, &parts.d},     {&HS_RSA::p, &parts.p},
      {&HS_RSA::q, &parts.q}, {&HS_RSA::dmp1, &parts.dp}, {&HS_RSA::dmq1, &parts.dq}, {&HS_RSA::iqmp, &parts.qinv}};
  for (const auto& f : fields)
    rsa->*f.first = lib.HS_BN_bin2bn(f.second->data(), static_cast<int>(f.second->size()), nullptr);
  const int size = lib.HS_i2d_RSAPrivateKey(rsa, nullptr);
  der->assign(size > 0 ? static_cast<size_t>(size) : 0, 0);
  unsigned char* p = der->data();
  if (size > 0) lib.HS_i2d_RSAPrivateKey(rsa, &p);
  lib.HS_RSA_free(rsa);
  return der->empty() ? Result::Fail(Status::kBadData) : Result::Ok();
}

// Writes a private key into the context's container: enciphered under an SSF33 session key
// (the key takes the PKCS #1 key as it comes), or in the clear.
Result WritePrivate(const Import& in, const Session& session, uint32_t usage) {
  const KeyLibrary& lib = KeyLib();
  if (in.pubKey != 0) {
    const auto wrap = TheProvider().FindKey(in.c, in.pubKey);
    if (!wrap || !IsSession(*wrap) || wrap->alg != kCalgSsf33) return Result::Fail(Status::kBadKey);
    CSP_TRY(Verify(*in.c));
    return KeyLibrary::Run(lib.HS33ImprotRSA, session.device, session.index, static_cast<int>(usage),
                           wrap->secret.data(), in.data + kBlobHeaderSize,
                           static_cast<int>(in.length - kBlobHeaderSize));
  }
  const auto parts = ParsePrivateKeyBlob(in.data, in.length);
  if (!parts) return Result::Fail(Status::kBadData);
  Bytes der;
  CSP_TRY(PrivateKeyDer(*parts, &der));
  Result r = Verify(*in.c);
  if (r.ok()) {
    r = KeyLibrary::Run(lib.HSImportRSAEx, session.device, session.index, static_cast<int>(usage), der.data(),
                        static_cast<int>(der.size()));
  }
  Wipe(der.data(), der.size());
  return r;
}

Result ImportPrivate(const Import& in, uint32_t alg) {
  if (in.c->Verify()) return Result::Fail(Status::kContainerMissing);
  if (alg != kCalgRsaKeyx && alg != kCalgRsaSign) return Result::Fail(Status::kBadAlgorithm);
  const uint32_t usage = alg == kCalgRsaKeyx ? kAtKeyExchange : kAtSignature;
  Session session(*in.c);
  CSP_TRY(session.Open());
  CSP_TRY(WritePrivate(in, session, usage));
  HS_RSA* rsa = nullptr;
  CSP_TRY(ReadPublicKey(session.device, session.index, usage, &rsa));
  *in.key = TheProvider().AddKey(NewPairKey(in.c, usage, rsa));
  return Result::Ok();
}

// A session key enciphered under the context's exchange key.
Result ImportSimple(const Import& in) {
  const auto blob = ParseSimpleBlob(in.data, in.length);
  if (!blob) return Result::Fail(Status::kBadData);
  AlgorithmInfo info;
  CSP_TRY(SessionAlgorithm(blob->alg, &info));
  const auto wrap = TheProvider().FindKey(in.c, in.pubKey);
  if (!wrap || wrap->kind != KeyObject::Kind::Pair || wrap->usage != kAtKeyExchange) {
    return Result::Fail(Status::kBadKey);
  }
  Session session(*in.c);
  CSP_TRY(session.OpenVerified());
  Bytes secret(blob->key.size());
  int size = static_cast<int>(secret.size());
  CSP_TRY(KeyLibrary::Run(KeyLib().HSRSADecrypt, session.device, session.index, static_cast<int>(kAtKeyExchange),
                          blob->key.data(), static_cast<int>(blob->key.size()), secret.data(), &size));
  secret.resize(static_cast<size_t>(std::clamp(size, 0, static_cast<int>(secret.size()))));
  return AddSessionKey(in.c, blob->alg, info, std::move(secret), in.exportable, in.key);
}

Result ImportPlaintext(const Import& in) {
  const auto blob = ParsePlaintextKeyBlob(in.data, in.length);
  if (!blob) return Result::Fail(Status::kBadData);
  AlgorithmInfo info;
  CSP_TRY(SessionAlgorithm(blob->alg, &info));
  return AddSessionKey(in.c, blob->alg, info, blob->key, in.exportable, in.key);
}

}  // namespace

Result ExportKey(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE pubKey, uint32_t blobType, uint32_t flags,
                 unsigned char* data, uint32_t* length) {
  Call call(prov);
  CSP_TRY(call.Key(key).Pointers(length != nullptr).Flags(flags).LockKey().result());
  const KeyObject& k = *call.key;
  const KeyLibrary& lib = KeyLib();
  switch (blobType) {
    case kPublicKeyBlob:
      if (k.rsa == nullptr) return Result::Fail(Status::kBadKey);
      CSP_TRY(lib.Need(lib.HS_BN_bn2bin, lib.HS_BN_get_word, lib.HS_BN_num_bytes));
      return Put(PublicKeyBlob(k.alg, Modulus(k.rsa), static_cast<uint32_t>(lib.HS_BN_get_word(k.rsa->e)), k.bits),
                 data, length);
    case kPrivateKeyBlob:
      // Private keys never leave the key.
      return Result::Fail(Status::kBadKeyState);
    case kPlaintextKeyBlob:
    case kSimpleBlob:
      if (!IsSession(k)) return Result::Fail(Status::kBadKey);
      // Wrapped or plain, the key leaves: only with the export permission.
      if ((k.permissions & kCryptExport) == 0) return Result::Fail(Status::kBadKeyState);
      if (blobType == kSimpleBlob) return ExportWrapped(call.c, call.key, pubKey, data, length);
      return Put(PlaintextKeyBlob(ReportedAlgorithm(k.alg), k.secret), data, length);
    default:
      return Result::Fail(Status::kBadType);
  }
}

Result ImportKey(MV_HANDLE prov, const unsigned char* data, uint32_t length, MV_HANDLE pubKey, uint32_t flags,
                 MV_HANDLE* key) {
  Call call(prov);
  CSP_TRY(call.Pointers(key != nullptr && data != nullptr).result());
  const auto header = ParseHeader(data, length);
  if (!header) return Result::Fail(Status::kBadData);
  const Import in{call.c, data, length, pubKey, (flags & kCryptExportable) != 0, key};
  switch (header->type) {
    case kPublicKeyBlob:
      return ImportPublic(in);
    case kPrivateKeyBlob:
      return ImportPrivate(in, header->alg);
    case kSimpleBlob:
      return ImportSimple(in);
    case kPlaintextKeyBlob:
      return ImportPlaintext(in);
    default:
      return Result::Fail(Status::kBadType);
  }
}

}  // namespace csp
