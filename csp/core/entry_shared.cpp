#include "entry_shared.h"

#include <algorithm>
#include <cstring>

namespace csp {
namespace {

constexpr uint32_t kBadKeysetCode = HS_ERR_NO_KEY;

// The place of the context's container on the key now (another process may have moved it).
Result ContainerIndex(const Context& c, HS_HANDLE device, int* index) {
  if (c.container[0] == '\0') return Result::Fail(Status::kContainerMissing);
  int at = HS_MAX_CONTAINERS;
  CSP_TRY(KeyLibrary::Run(KeyLib().HSGetContainerNum, device, c.container, &at));
  if (at < 0 || at >= HS_MAX_CONTAINERS) return Result::Fail(Status::kContainerMissing);
  *index = at;
  return Result::Ok();
}

}  // namespace

Call::Call(MV_HANDLE prov) {
  result_ = TheProvider().Start();
  if (!result_.ok()) return;
  c = TheProvider().FindContext(prov);
  if (c == nullptr) result_ = Result::Fail(Status::kNoContext);
}

Call& Call::Key(MV_HANDLE handle) {
  if (!result_.ok()) return *this;
  key = TheProvider().FindKey(c, handle);
  if (!key) result_ = Result::Fail(Status::kBadKey);
  return *this;
}

Call& Call::Hash(MV_HANDLE handle) {
  if (!result_.ok()) return *this;
  hash = TheProvider().FindHash(c, handle);
  if (!hash) result_ = Result::Fail(Status::kBadHash);
  return *this;
}

Call& Call::OptionalHash(MV_HANDLE handle) { return handle == 0 ? *this : Hash(handle); }

Call& Call::Pointers(bool given) {
  if (result_.ok() && !given) result_ = Result::Fail(Status::kInvalidParameter);
  return *this;
}

Call& Call::Flags(uint32_t flags, uint32_t allowed) {
  if (result_.ok() && (flags & ~allowed) != 0) result_ = Result::Fail(Status::kBadFlags);
  return *this;
}

Call& Call::LockKey() {
  if (result_.ok()) lock_ = std::unique_lock<std::mutex>(key->mutex);
  return *this;
}

Call& Call::LockHash() {
  if (result_.ok()) lock_ = std::unique_lock<std::mutex>(hash->mutex);
  return *this;
}

Result Put(const void* source, size_t size, unsigned char* data, uint32_t* length) {
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  const uint32_t room = *length;
  *length = static_cast<uint32_t>(size);
  if (data == nullptr) return Result::Ok();
  if (room < size) return Result::Fail(Status::kMoreData);
  if (size > 0) std::memcpy(data, source, size);
  return Result::Ok();
}

Result Put(const Bytes& b, unsigned char* data, uint32_t* length) { return Put(b.data(), b.size(), data, length); }

Result PutDword(uint32_t value, unsigned char* data, uint32_t* length) {
  unsigned char le[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                         static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return Put(le, sizeof le, data, length);
}

Result PutText(const std::string& text, unsigned char* data, uint32_t* length) {
  return Put(text.c_str(), text.size() + 1, data, length);
}

Result PutSizeOnly(size_t size, const unsigned char* data, uint32_t* length) {
  CSP_TRY(Put(nullptr, size, nullptr, length));
  return data == nullptr ? Result::Ok() : Result::Fail(Status::kMoreData);
}

Result Session::Open(bool withContainer) {
  device = TheProvider().Device(c_);
  if (device == nullptr) return Result::Fail(Status::kNoDevice);
  transaction_.emplace(KeyLib(), device);
  CSP_TRY(transaction_->result());
  return withContainer ? ContainerIndex(c_, device, &index) : Result::Ok();
}

Result Session::OpenVerified() {
  CSP_TRY(Open());
  return Verify(c_);
}

Result Verify(Context& c, const std::optional<Secret>& given) {
  return VerifyUser(TheProvider().Environment(), TheProvider().Request(c), given);
}

Result ReadPublicKey(HS_HANDLE device, int index, uint32_t usage, HS_RSA** rsa) {
  const KeyLibrary& lib = KeyLib();
  CSP_TRY(lib.Need(lib.HSExportRSAPubKey, lib.HS_d2i_RSAPublicKey, lib.HS_BN_num_bytes));
  unsigned char der[kMaxDer];
  int size = static_cast<int>(sizeof der);
  const Result r = KeyLibrary::Run(lib.HSExportRSAPubKey, device, index, static_cast<int>(usage), der, &size);
  if (r.status == Status::kKeyLibrary && r.code == kBadKeysetCode) return Result::Fail(Status::kNoKey);
  CSP_TRY(r);
  if (size <= 0 || static_cast<size_t>(size) > sizeof der) return Result::Fail(Status::kBadKey);
  const unsigned char* p = der;
  *rsa = lib.HS_d2i_RSAPublicKey(nullptr, &p, size);
  return *rsa != nullptr && (*rsa)->n != nullptr && (*rsa)->e != nullptr ? Result::Ok() : Result::Fail(Status::kBadKey);
}

uint32_t ModulusBytes(const HS_RSA* rsa) { return static_cast<uint32_t>(KeyLib().HS_BN_num_bytes(rsa->n)); }

Result Finish(HashObject& h) {
  if (h.finished) return Result::Ok();
  unsigned char digest[64];
  int size = static_cast<int>(sizeof digest);
  const Result r = KeyLibrary::Run(KeyLib().HSHashFinal, h.state, digest, &size);
  h.state = nullptr;
  CSP_TRY(r);
  h.value.assign(digest, digest + std::min<size_t>(static_cast<size_t>(size), sizeof digest));
  h.finished = true;
  return Result::Ok();
}

Result HashMore(HashObject& h, const unsigned char* data, uint32_t length) {
  if (h.finished) return Result::Fail(Status::kBadHashState);
  if (length == 0) return Result::Ok();
  if (length > kMaxDataLength) return Result::Fail(Status::kBadLength);
  return KeyLibrary::Run(KeyLib().HSHashUpdate, h.state, data, static_cast<int>(length));
}

uint32_t KeyBytes(uint32_t alg, uint32_t bits) {
  switch (Canonical(alg)) {
    case kCalgDes:
    case kCalg3Des:
    case kCalg3Des112:
      return bits / 7;  // DES keys carry a parity bit per byte
    default:
      return bits / 8;
  }
}

uint32_t BitsOf(uint32_t alg, size_t bytes) { return static_cast<uint32_t>(bytes) * (KeyBytes(alg, 56) == 8 ? 7 : 8); }

uint32_t ReportedAlgorithm(uint32_t alg) { return alg == kCalgSsf33 || alg == kCalgScb2 ? alg ^ 0x6600 : alg; }

Result SessionAlgorithm(uint32_t alg, AlgorithmInfo* info) {
  *info = Describe(alg);
  return info->kind == AlgorithmKind::Block || info->kind == AlgorithmKind::Stream
             ? Result::Ok()
             : Result::Fail(Status::kBadAlgorithm);
}

Result AddSessionKey(const Context* c, uint32_t alg, const AlgorithmInfo& info, Bytes secret, bool exportable,
                     MV_HANDLE* key) {
  const uint32_t bits = BitsOf(alg, secret.size());
  if (bits < info.minBits || bits > info.maxBits) return Result::Fail(Status::kBadData);
  *key = TheProvider().AddKey(NewSessionKey(c, alg, bits, std::move(secret), exportable));
  return Result::Ok();
}

std::shared_ptr<KeyObject> NewSessionKey(const Context* c, uint32_t alg, uint32_t bits, Bytes secret, bool exportable) {
  auto k = std::make_shared<KeyObject>();
  const AlgorithmInfo info = Describe(alg);
  k->kind = KeyObject::Kind::Session;
  k->owner = c;
  k->alg = Canonical(alg);
  k->bits = bits;
  k->secret = std::move(secret);
  k->iv.assign(info.blockBytes, 0);
  k->effectiveBits = bits;
  k->permissions = exportable ? 0x3F : 0x3F & ~kCryptExport;
  return k;
}

std::shared_ptr<KeyObject> NewRsaKey(const Context* c, KeyObject::Kind kind, uint32_t alg, uint32_t usage,
                                     HS_RSA* rsa) {
  auto k = std::make_shared<KeyObject>();
  k->kind = kind;
  k->owner = c;
  k->alg = alg;
  k->usage = usage;
  k->rsa = rsa;
  k->bits = ModulusBytes(rsa) * 8;
  k->permissions = 0x3F & ~kCryptExport;
  return k;
}

std::shared_ptr<KeyObject> NewPairKey(const Context* c, uint32_t usage, HS_RSA* rsa) {
  return NewRsaKey(c, KeyObject::Kind::Pair, usage == kAtKeyExchange ? kCalgRsaKeyx : kCalgRsaSign, usage, rsa);
}

bool IsSession(const KeyObject& k) { return k.kind == KeyObject::Kind::Session; }

bool IsExchangeRsa(const KeyObject& k) {
  return (k.kind == KeyObject::Kind::Pair && k.usage == kAtKeyExchange) ||
         (k.kind == KeyObject::Kind::Public && k.alg == kCalgRsaKeyx);
}

}  // namespace csp
