// Encryption and decryption: session keys through the key library's ciphers, RSA exchange keys
// through the key.
#include <algorithm>
#include <cstring>

#include "entry_shared.h"

namespace csp {
namespace {

// Starts the key's cipher for a first call in that direction.
Result StartCipher(KeyObject& k, bool encrypt) {
  const KeyLibrary& lib = KeyLib();
  if (k.running != nullptr && k.runningEncrypt == encrypt) return Result::Ok();
  if (k.running != nullptr) {
    unsigned char scratch[64];
    int size = sizeof scratch;
    KeyLibrary::Run(lib.HSSymFinal, k.running, scratch, &size);
    k.running = nullptr;
  }
  const bool block = Describe(k.alg).kind == AlgorithmKind::Block;
  const int mode = k.mode == kCryptModeEcb ? HS_MODE_ECB : HS_MODE_CBC;
  CSP_TRY(KeyLibrary::Run(lib.HSSymInit, static_cast<int>(k.alg), k.secret.data(), static_cast<int>(k.secret.size()),
                          k.iv.empty() ? nullptr : k.iv.data(), mode, encrypt ? 1 : 0, block ? 1 : 0, &k.running));
  k.runningEncrypt = encrypt;
  return Result::Ok();
}

// One call of the session key's cipher: the output of `length` bytes of input, plus the
// padding's end on a final call. The cipher then starts afresh.
Result RunCipher(KeyObject& k, bool encrypt, bool final, const unsigned char* in, uint32_t length, Bytes* out) {
  const KeyLibrary& lib = KeyLib();
  // Room for the padding, in a width where it cannot wrap; the library's lengths are int.
  if (length > kMaxDataLength - 32) return Result::Fail(Status::kBadLength);
  CSP_TRY(StartCipher(k, encrypt));
  out->assign(static_cast<size_t>(length) + 32, 0);
  int size = static_cast<int>(out->size());
  Result r = KeyLibrary::Run(lib.HSSymUpdate, k.running, in, static_cast<int>(length), out->data(), &size);
  size_t total = r.ok() ? static_cast<size_t>(size) : 0;
  if (r.ok() && final) {
    int last = static_cast<int>(out->size() - total);
    r = KeyLibrary::Run(lib.HSSymFinal, k.running, out->data() + total, &last);
    k.running = nullptr;
    if (r.ok()) total += static_cast<size_t>(last);
  }
  out->resize(total);
  if (!r.ok() && r.status == Status::kKeyLibrary && r.code == HS_ERR_DATA) return Result::Fail(Status::kBadData);
  return r;
}

}  // namespace

Result Encrypt(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, bool final, uint32_t flags, unsigned char* data,
               uint32_t* length, uint32_t bufferLength) {
  Call call(prov);
  CSP_TRY(call.Key(key).OptionalHash(hash).Pointers(length != nullptr).Flags(flags).LockKey().result());
  KeyObject* k = call.key.get();
  HashObject* h = call.hash.get();
  const KeyLibrary& lib = KeyLib();
  const uint32_t in = *length;
  if (IsSession(*k)) {
    const uint32_t block = std::max<uint32_t>(Describe(k->alg).blockBytes, 1);
    if (!final && in % block != 0) return Result::Fail(Status::kBadData);
    // Counted in 64 bits: the padded length of an input near 2^32 must not wrap to a small one.
    const uint64_t padded = final && block > 1 ? (uint64_t{in} / block + 1) * block : uint64_t{in};
    if (padded > kMaxDataLength - 32) return Result::Fail(Status::kBadLength);
    const uint32_t out = static_cast<uint32_t>(padded);
    if (data == nullptr || bufferLength < out) return PutSizeOnly(out, data, length);
    if (h != nullptr) {
      std::lock_guard<std::mutex> hashLock(h->mutex);
      CSP_TRY(HashMore(*h, data, in));
    }
    Bytes cipher;
    CSP_TRY(RunCipher(*k, true, final, data, in, &cipher));
    if (cipher.size() > bufferLength) return Result::Fail(Status::kInternal);
    std::memcpy(data, cipher.data(), cipher.size());
    *length = static_cast<uint32_t>(cipher.size());
    return Result::Ok();
  }
  if (!IsExchangeRsa(*k) || k->rsa == nullptr) return Result::Fail(Status::kBadKey);
  if (!final) return Result::Fail(Status::kBadData);
  const uint32_t size = ModulusBytes(k->rsa);
  // PKCS #1 v1.5 padding takes 11 bytes; `in + 11` would wrap for lengths near 2^32.
  if (size < 11 || in > size - 11) return Result::Fail(Status::kBadLength);
  if (data == nullptr || bufferLength < size) return PutSizeOnly(size, data, length);
  if (h != nullptr) {
    std::lock_guard<std::mutex> hashLock(h->mutex);
    CSP_TRY(HashMore(*h, data, in));
  }
  Bytes cipher(size);
  int cipherSize = static_cast<int>(cipher.size());
  CSP_TRY(KeyLibrary::Run(lib.HSRSAEncryptSoft, k->rsa, data, static_cast<int>(in), cipher.data(), &cipherSize));
  cipher = Reversed(cipher);
  std::memcpy(data, cipher.data(), size);
  *length = size;
  return Result::Ok();
}

Result Decrypt(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, bool final, uint32_t flags, unsigned char* data,
               uint32_t* length) {
  Call call(prov);
  CSP_TRY(call.Key(key)
              .OptionalHash(hash)
              .Pointers(length != nullptr && (data != nullptr || *length == 0))
              .Flags(flags)
              .LockKey()
              .result());
  KeyObject* k = call.key.get();
  HashObject* h = call.hash.get();
  const KeyLibrary& lib = KeyLib();
  const uint32_t in = *length;
  Bytes plain;
  if (IsSession(*k)) {
    const uint32_t block = std::max<uint32_t>(Describe(k->alg).blockBytes, 1);
    if (in % block != 0) return Result::Fail(Status::kBadData);
    CSP_TRY(RunCipher(*k, false, final, data, in, &plain));
  } else {
    if (k->kind != KeyObject::Kind::Pair || k->usage != kAtKeyExchange) return Result::Fail(Status::kBadKey);
    if (!final) return Result::Fail(Status::kBadData);
    if (in != ModulusBytes(k->rsa)) return Result::Fail(Status::kBadLength);
    Session session(*call.c);
    CSP_TRY(session.OpenVerified());
    const Bytes big = Reversed(Bytes(data, data + in));
    plain.assign(in, 0);
    int size = static_cast<int>(plain.size());
    const Result d = KeyLibrary::Run(lib.HSRSADecrypt, session.device, session.index, static_cast<int>(kAtKeyExchange),
                                     big.data(), static_cast<int>(big.size()), plain.data(), &size);
    if (d.status == Status::kKeyLibrary && d.code == HS_ERR_DATA) return Result::Fail(Status::kBadData);
    CSP_TRY(d);
    plain.resize(static_cast<size_t>(std::clamp(size, 0, static_cast<int>(in))));
  }
  if (plain.size() > in) return Result::Fail(Status::kInternal);
  if (!plain.empty()) std::memcpy(data, plain.data(), plain.size());
  *length = static_cast<uint32_t>(plain.size());
  Wipe(plain.data(), plain.size());
  if (h != nullptr) {
    std::lock_guard<std::mutex> hashLock(h->mutex);
    CSP_TRY(HashMore(*h, data, *length));
  }
  return Result::Ok();
}

}  // namespace csp
