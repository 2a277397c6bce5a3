#include "entry.h"

#include <algorithm>
#include <cstring>

#include "provider.h"
#include "tw/log.h"

namespace csp {
namespace {

constexpr uint32_t kBadKeysetCode = HS_ERR_NO_KEY;
constexpr uint32_t kCryptExport = 4;  // the key permission that lets a key leave in a blob
// The key library takes lengths as int; what passes this cannot be handed to it.
constexpr uint32_t kMaxDataLength = 0x7FFFFFFF;
constexpr size_t kMaxDer = 4096;
constexpr size_t kMaxCertificate = 16384;

Provider& P() { return Provider::Get(); }

Result Lookup(MV_HANDLE prov, csp::Context** c) {
  CSP_TRY(P().Start());
  *c = P().FindContext(prov);
  return *c != nullptr ? Result::Ok() : Result::Fail(Status::kNoContext);
}

// The context and one of its keys (or hashes) that an entry point names.
Result LookupKey(MV_HANDLE prov, MV_HANDLE key, csp::Context** c, std::shared_ptr<KeyObject>* k) {
  CSP_TRY(Lookup(prov, c));
  *k = P().FindKey(*c, key);
  return *k ? Result::Ok() : Result::Fail(Status::kBadKey);
}
Result LookupHash(MV_HANDLE prov, MV_HANDLE hash, csp::Context** c, std::shared_ptr<HashObject>* h) {
  CSP_TRY(Lookup(prov, c));
  *h = P().FindHash(*c, hash);
  return *h ? Result::Ok() : Result::Fail(Status::kBadHash);
}

// The caller's buffer rule: a null buffer asks for the size; a small one gets the size and
// kMoreData; nothing is ever written past *length bytes.
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

// The place of the context's container on the key now (another process may have moved it).
Result ContainerIndex(const csp::Context& c, HS_HANDLE device, int* index) {
  if (c.container[0] == '\0') return Result::Fail(Status::kContainerMissing);
  const KeyLibrary& lib = P().lib();
  int at = HS_MAX_CONTAINERS;
  CSP_TRY(KeyLibrary::Run(lib.HSGetContainerNum, device, c.container, &at));
  if (at < 0 || at >= HS_MAX_CONTAINERS) return Result::Fail(Status::kContainerMissing);
  *index = at;
  return Result::Ok();
}

// The context's key for one operation: its reader's handle, inside the key library's
// transaction, and (unless asked not to) the place of the context's container.
class Session {
 public:
  explicit Session(csp::Context& c) : c_(c) {}
  Result Open(bool withContainer = true) {
    device = P().Device(c_);
    if (device == nullptr) return Result::Fail(Status::kNoDevice);
    transaction_.emplace(P().lib(), device);
    CSP_TRY(transaction_->result());
    return withContainer ? ContainerIndex(c_, device, &index) : Result::Ok();
  }
  HS_HANDLE device = nullptr;
  int index = 0;

 private:
  csp::Context& c_;
  std::optional<Transaction> transaction_;
};

Result Verify(csp::Context& c, const std::optional<Secret>& given = std::nullopt) {
  return VerifyUser(P().Environment(), P().Request(c), given);
}

// The RSA public key of a key pair in a container, through its DER form.
Result ReadPublicKey(HS_HANDLE device, int index, uint32_t usage, HS_RSA** rsa) {
  const KeyLibrary& lib = P().lib();
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

uint32_t ModulusBytes(const HS_RSA* rsa) { return static_cast<uint32_t>(P().lib().HS_BN_num_bytes(rsa->n)); }

Bytes Modulus(const HS_RSA* rsa) {
  const KeyLibrary& lib = P().lib();
  Bytes out(static_cast<size_t>(lib.HS_BN_num_bytes(rsa->n)));
  if (!out.empty() && lib.HS_BN_bn2bin != nullptr) lib.HS_BN_bn2bin(rsa->n, out.data());
  return out;
}

// Ends the hash and keeps its value (signing, verifying and the value query all end a hash).
Result Finish(HashObject& h) {
  if (h.finished) return Result::Ok();
  const KeyLibrary& lib = P().lib();
  unsigned char digest[64];
  int size = static_cast<int>(sizeof digest);
  const Result r = KeyLibrary::Run(lib.HSHashFinal, h.state, digest, &size);
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
  return KeyLibrary::Run(P().lib().HSHashUpdate, h.state, data, static_cast<int>(length));
}

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

std::shared_ptr<KeyObject> NewSessionKey(const csp::Context* c, uint32_t alg, uint32_t bits, Bytes secret,
                                         bool exportable) {
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

std::shared_ptr<KeyObject> NewRsaKey(const csp::Context* c, KeyObject::Kind kind, uint32_t alg, uint32_t usage,
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

bool IsSession(const KeyObject& k) { return k.kind == KeyObject::Kind::Session; }
bool IsExchangeRsa(const KeyObject& k) {
  return (k.kind == KeyObject::Kind::Pair && k.usage == kAtKeyExchange) ||
         (k.kind == KeyObject::Kind::Public && k.alg == kCalgRsaKeyx);
}

// Starts the key's cipher for a first call in that direction.
Result StartCipher(KeyObject& k, bool encrypt) {
  const KeyLibrary& lib = P().lib();
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
  const KeyLibrary& lib = P().lib();
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

// A session key's length in bits from its bytes (DES keys carry a parity bit per byte).
uint32_t BitsOf(uint32_t alg, size_t bytes) { return static_cast<uint32_t>(bytes) * (KeyBytes(alg, 56) == 8 ? 7 : 8); }

uint32_t ReportedAlgorithm(uint32_t alg) { return alg == kCalgSsf33 || alg == kCalgScb2 ? alg ^ 0x6600 : alg; }

// A generated name for a new container asked for without one.
Result DefaultContainerName(std::string* name) {
  unsigned char random[8] = {};
  CSP_TRY(KeyLibrary::Run(P().lib().HSGenRandom, static_cast<HS_HANDLE>(nullptr), random, 8));
  std::string prefix = P().ContainerPrefix();
  if (prefix.empty()) prefix = "MVCSP-";
  static const char digits[] = "0123456789ABCDEF";
  *name = prefix.substr(0, kMaxContainerName - 16);
  for (unsigned char b : random) {
    *name += digits[b >> 4];
    *name += digits[b & 15];
  }
  return Result::Ok();
}

// The key's default container: the first place that holds one. None at all leaves the
// context without a container, and the acquire succeeds all the same.
Result DefaultContainer(HS_HANDLE device, std::string* name) {
  const KeyLibrary& lib = P().lib();
  for (int i = 0; i < HS_MAX_CONTAINERS; ++i) {
    char buffer[kMaxContainerName + 2] = {};
    int size = static_cast<int>(sizeof buffer - 1);
    const Result r = KeyLibrary::Run(lib.HSGetContainerName, device, i, buffer, &size);
    if (r.status == Status::kKeyLibrary && r.code == HS_ERR_NO_CONTAINER) continue;
    CSP_TRY(r);
    *name = std::string(buffer, strnlen(buffer, sizeof buffer));
    return Result::Ok();
  }
  name->clear();
  return Result::Ok();
}

Result OpenContainer(csp::Context& c, const ContainerName& name, uint32_t flags, bool* deleted) {
  const KeyLibrary& lib = P().lib();
  Session session(c);
  CSP_TRY(session.Open(false));
  HS_HANDLE device = session.device;
  std::string container = name.container;
  int index = HS_MAX_CONTAINERS;
  if (flags & kFlagNewKeyset) {
    if (container.empty()) CSP_TRY(DefaultContainerName(&container));
    CSP_TRY(KeyLibrary::Run(lib.HSGetContainerNum, device, container.c_str(), &index));
    if (index >= 0 && index < HS_MAX_CONTAINERS) return Result::Fail(Status::kContainerExists);
    CSP_TRY(Verify(c));
    CSP_TRY(KeyLibrary::Run(lib.HSCreateContainer, device, container.c_str(), &index));
  } else {
    if (container.empty()) {
      CSP_TRY(DefaultContainer(device, &container));
      if (container.empty()) return Result::Ok();
    }
    CSP_TRY(KeyLibrary::Run(lib.HSGetContainerNum, device, container.c_str(), &index));
    if (index < 0 || index >= HS_MAX_CONTAINERS) return Result::Fail(Status::kContainerMissing);
    if (flags & kFlagDeleteKeyset) {
      CSP_TRY(Verify(c));
      CSP_TRY(KeyLibrary::Run(lib.HSDelContainer, device, container.c_str()));
      *deleted = true;
      return Result::Ok();
    }
  }
  std::snprintf(c.container, sizeof c.container, "%s", container.c_str());
  c.containerIndex = index;
  return Result::Ok();
}

Result EnumContainers(csp::Context& c, unsigned char* data, uint32_t* length, uint32_t flags) {
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  Session session(c);
  CSP_TRY(session.Open(false));
  HS_HANDLE device = session.device;
  const KeyLibrary& lib = P().lib();
  if (flags & kCryptFirst) {
    c.enumContainer = 0;
    // Applications find the key's certificates in the user's store, tied to this provider.
    int added = 0;
    KeyLibrary::Run(lib.HSRegistCertByHandle, device, kProviderName, &added);
  }
  std::vector<std::pair<int, std::string>> names;
  for (int i = 0; i < HS_MAX_CONTAINERS; ++i) {
    char buffer[kMaxContainerName + 2] = {};
    int size = static_cast<int>(sizeof buffer - 1);
    const Result got = KeyLibrary::Run(lib.HSGetContainerName, device, i, buffer, &size);
    if (got.status == Status::kKeyLibrary && got.code == HS_ERR_NO_CONTAINER) continue;
    CSP_TRY(got);
    names.emplace_back(i, std::string(buffer, strnlen(buffer, sizeof buffer)));
  }
  if (data == nullptr) {
    // The size query answers for the longest name, so that one buffer serves the whole walk.
    size_t longest = 0;
    for (const auto& n : names) longest = std::max(longest, n.second.size());
    *length = static_cast<uint32_t>(std::max<size_t>(longest + 1, kMaxContainerName + 1));
    return Result::Ok();
  }
  for (const auto& n : names) {
    if (n.first < static_cast<int>(c.enumContainer)) continue;
    CSP_TRY(PutText(n.second, data, length));
    c.enumContainer = static_cast<uint32_t>(n.first + 1);
    return Result::Ok();
  }
  return Result::Fail(Status::kNoMoreItems);
}

Bytes AlgorithmRecord(const AlgorithmEntry& e, bool extended) {
  Bytes out;
  auto dword = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  auto name = [&](const std::string& n, size_t room) {
    Bytes field(room, 0);
    std::memcpy(field.data(), n.data(), std::min(n.size(), room - 1));
    out.insert(out.end(), field.begin(), field.end());
  };
  const uint32_t nameLength = static_cast<uint32_t>(std::min<size_t>(e.name.size(), 19) + 1);
  dword(e.id);
  if (!extended) {
    dword(e.bits);
    dword(nameLength);
    name(e.name, 20);
    return out;
  }
  // Each entry stands for its own size: default, minimum and maximum alike.
  dword(e.bits);
  dword(e.bits);
  dword(e.bits);
  dword(0);
  dword(nameLength);
  name(e.name, 20);
  dword(nameLength);
  name(e.name, 40);
  return out;
}

Result EnumAlgorithms(csp::Context& c, unsigned char* data, uint32_t* length, uint32_t flags, bool extended) {
  if (flags & kCryptFirst) c.enumAlgorithm = 0;
  const auto& list = AlgorithmList();
  if (c.enumAlgorithm >= list.size()) return Result::Fail(Status::kNoMoreItems);
  CSP_TRY(Put(AlgorithmRecord(list[c.enumAlgorithm], extended), data, length));
  if (data != nullptr) ++c.enumAlgorithm;
  return Result::Ok();
}

}  // namespace

Result AcquireContext(MV_HANDLE* prov, const char* container, uint32_t flags, const MV_VTABLE_PROV* vtable) {
  if (prov == nullptr) return Result::Fail(Status::kInvalidParameter);
  CSP_TRY(P().Start());
  const uint32_t known = kFlagVerifyContext | kFlagNewKeyset | kFlagDeleteKeyset | kFlagMachineKeyset | kFlagSilent;
  const uint32_t verifyBits = flags & kFlagVerifyContext;
  if ((flags & ~known) != 0 || (verifyBits != 0 && verifyBits != kFlagVerifyContext) ||
      (verifyBits != 0 && (flags & (kFlagNewKeyset | kFlagDeleteKeyset)) != 0) ||
      (flags & (kFlagNewKeyset | kFlagDeleteKeyset)) == (kFlagNewKeyset | kFlagDeleteKeyset)) {
    return Result::Fail(Status::kBadFlags);
  }
  const std::optional<ContainerName> name = ParseContainerName(container);
  if (!name) return Result::Fail(Status::kBadContainerName);
  LOG_DEBUG("acquire \"{}\" on \"{}\", flags {:#x}", name->container, name->reader, flags);

  csp::Context* c = nullptr;
  CSP_TRY(P().NewContext(flags, &c));
  if (vtable != nullptr) c->returnWindow = vtable->FuncReturnhWnd;
  // A named reader must be connected; otherwise the last connected reader of the list.
  std::string reader = name->reader;
  if (reader.empty()) {
    const auto readers = P().table().Readers();
    if (!readers.empty()) reader = readers.back();
  }
  Result r;
  if (!reader.empty() && P().table().Device(reader)) {
    std::snprintf(c->reader, sizeof c->reader, "%s", reader.c_str());
    c->device = P().Device(*c);
  } else if (!c->Verify() || !name->reader.empty()) {
    r = Result::Fail(Status::kInternal);
  }
  bool deleted = false;
  if (r.ok() && !c->Verify()) r = OpenContainer(*c, *name, flags, &deleted);
  if (!r.ok() || deleted) {
    P().ReleaseContext(c);
    *prov = 0;
    return r;
  }
  *prov = reinterpret_cast<MV_HANDLE>(c);
  return Result::Ok();
}

Result ReleaseContext(MV_HANDLE prov, uint32_t flags) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  P().ReleaseContext(c);
  return flags == 0 ? Result::Ok() : Result::Fail(Status::kBadFlags);
}

Result GenKey(MV_HANDLE prov, uint32_t alg, uint32_t flags, MV_HANDLE* key) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (key == nullptr) return Result::Fail(Status::kInvalidParameter);
  const KeyLibrary& lib = P().lib();
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
    CSP_TRY(session.Open());
    HS_HANDLE device = session.device;
    const int index = session.index;
    CSP_TRY(Verify(*c));
    unsigned char der[kMaxDer];
    int size = static_cast<int>(sizeof der);
    CSP_TRY(
        KeyLibrary::Run(lib.HSGenRSAEx, device, index, static_cast<int>(usage), static_cast<int>(bits), der, &size));
    const unsigned char* p = der;
    HS_RSA* rsa = lib.HS_d2i_RSAPublicKey(nullptr, &p, size);
    if (rsa == nullptr) return Result::Fail(Status::kBadKey);
    *key = P().AddKey(
        NewRsaKey(c, KeyObject::Kind::Pair, usage == kAtKeyExchange ? kCalgRsaKeyx : kCalgRsaSign, usage, rsa));
    return Result::Ok();
  }
  const AlgorithmInfo info = Describe(alg);
  if (info.kind != AlgorithmKind::Block && info.kind != AlgorithmKind::Stream) {
    return Result::Fail(Status::kBadAlgorithm);
  }
  if (bits == 0) bits = info.defaultBits;
  if (bits < info.minBits || bits > info.maxBits || bits % 8 != 0) return Result::Fail(Status::kBadFlags);
  Bytes secret(KeyBytes(alg, bits));
  CSP_TRY(KeyLibrary::Run(lib.HSGenRandom, P().Device(*c), secret.data(), static_cast<int>(secret.size())));
  *key = P().AddKey(NewSessionKey(c, alg, bits, std::move(secret), (options & kCryptExportable) != 0));
  return Result::Ok();
}

Result DeriveKey(MV_HANDLE prov, uint32_t alg, MV_HANDLE hash, uint32_t flags, MV_HANDLE* key) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (key == nullptr) return Result::Fail(Status::kInvalidParameter);
  const auto h = P().FindHash(c, hash);
  if (!h) return Result::Fail(Status::kBadHash);
  const AlgorithmInfo info = Describe(alg);
  if (info.kind != AlgorithmKind::Block && info.kind != AlgorithmKind::Stream) {
    return Result::Fail(Status::kBadAlgorithm);
  }
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
    const KeyLibrary& lib = P().lib();
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
  *key = P().AddKey(NewSessionKey(c, alg, bits, std::move(material), (flags & kCryptExportable) != 0));
  return Result::Ok();
}

Result DestroyKey(MV_HANDLE prov, MV_HANDLE key) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (!P().FindKey(c, key)) return Result::Fail(Status::kBadKey);
  P().DestroyKey(key);
  return Result::Ok();
}

Result GetUserKey(MV_HANDLE prov, uint32_t keySpec, MV_HANDLE* key) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (key == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (keySpec != kAtKeyExchange && keySpec != kAtSignature) return Result::Fail(Status::kNoKey);
  if (c->Verify()) return Result::Fail(Status::kContainerMissing);
  Session session(*c);
  CSP_TRY(session.Open());
  HS_HANDLE device = session.device;
  const int index = session.index;
  HS_RSA* rsa = nullptr;
  CSP_TRY(ReadPublicKey(device, index, keySpec, &rsa));
  *key = P().AddKey(
      NewRsaKey(c, KeyObject::Kind::Pair, keySpec == kAtKeyExchange ? kCalgRsaKeyx : kCalgRsaSign, keySpec, rsa));
  return Result::Ok();
}

Result DuplicateKey(MV_HANDLE prov, MV_HANDLE key, uint32_t flags, MV_HANDLE* duplicate) {
  csp::Context* c = nullptr;
  std::shared_ptr<KeyObject> k;
  CSP_TRY(LookupKey(prov, key, &c, &k));
  if (duplicate == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  std::lock_guard<std::mutex> lock(k->mutex);
  auto copy = std::make_shared<KeyObject>();
  copy->kind = k->kind;
  copy->owner = k->owner;
  copy->alg = k->alg;
  copy->usage = k->usage;
  copy->bits = k->bits;
  copy->secret = k->secret;
  copy->iv = k->iv;
  copy->salt = k->salt;
  copy->mode = k->mode;
  copy->padding = k->padding;
  copy->permissions = k->permissions;
  copy->effectiveBits = k->effectiveBits;
  if (k->rsa != nullptr) {
    const KeyLibrary& lib = P().lib();
    CSP_TRY(lib.Need(lib.HS_RSA_new, lib.HS_BN_bin2bn, lib.HS_BN_bn2bin, lib.HS_BN_num_bytes));
    copy->rsa = lib.HS_RSA_new();
    for (auto part : {&HS_RSA::n, &HS_RSA::e}) {
      Bytes b(static_cast<size_t>(lib.HS_BN_num_bytes(k->rsa->*part)));
      lib.HS_BN_bn2bin(k->rsa->*part, b.data());
      copy->rsa->*part = lib.HS_BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr);
    }
  }
  *duplicate = P().AddKey(std::move(copy));
  return Result::Ok();
}

Result NotOffered() { return Result::Fail(Status::kNotOffered); }

Result SetKeyParam(MV_HANDLE prov, MV_HANDLE key, uint32_t param, const unsigned char* data, uint32_t flags) {
  csp::Context* c = nullptr;
  std::shared_ptr<KeyObject> k;
  CSP_TRY(LookupKey(prov, key, &c, &k));
  if (data == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  std::lock_guard<std::mutex> lock(k->mutex);
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
      Session session(*c);
      CSP_TRY(session.Open());
      HS_HANDLE device = session.device;
      const int index = session.index;
      CSP_TRY(Verify(*c));
      return KeyLibrary::Run(P().lib().HSWriteCert, device, index, static_cast<int>(k->usage), data,
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
  csp::Context* c = nullptr;
  std::shared_ptr<KeyObject> k;
  CSP_TRY(LookupKey(prov, key, &c, &k));
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  std::lock_guard<std::mutex> lock(k->mutex);
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
      Session session(*c);
      CSP_TRY(session.Open());
      HS_HANDLE device = session.device;
      const int index = session.index;
      Bytes certificate(kMaxCertificate);
      int size = static_cast<int>(certificate.size());
      CSP_TRY(
          KeyLibrary::Run(P().lib().HSReadCert, device, index, static_cast<int>(k->usage), certificate.data(), &size));
      certificate.resize(static_cast<size_t>(std::clamp(size, 0, static_cast<int>(kMaxCertificate))));
      return Put(certificate, data, length);
    }
    default:
      return Result::Fail(Status::kBadType);
  }
}

Result SetProvParam(MV_HANDLE prov, uint32_t param, const unsigned char* data, uint32_t flags) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  (void)flags;
  if (param != kPpKeyExchangePin && param != kPpSignaturePin) return Result::Ok();
  if (data == nullptr) return Result::Fail(Status::kInvalidParameter);
  const size_t length = strnlen(reinterpret_cast<const char*>(data), HS_MAX_PIN + 1);
  if (length == 0 || length > HS_MAX_PIN) return Result::Fail(Status::kInvalidParameter);
  Session session(*c);
  CSP_TRY(session.Open(false));
  return Verify(*c, Secret(std::string(reinterpret_cast<const char*>(data), length)));
}

Result GetProvParam(MV_HANDLE prov, uint32_t param, unsigned char* data, uint32_t* length, uint32_t flags) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  switch (param) {
    case kPpEnumAlgs:
    case kPpEnumAlgsEx:
      return EnumAlgorithms(*c, data, length, flags, param == kPpEnumAlgsEx);
    case kPpEnumContainers:
      return EnumContainers(*c, data, length, flags);
    case kPpName:
      return PutText(kProviderName, data, length);
    case kPpVersion:
      return PutDword(kProviderVersion, data, length);
    case kPpImpType:
      return PutDword(kImplMixedRemovable, data, length);
    case kPpProvType:
      return PutDword(kProvRsaFull, data, length);
    case kPpKeysetType:
      return PutDword(0, data, length);
    case kPpSigKeysizeInc:
    case kPpKeyxKeysizeInc:
      return PutDword(1024, data, length);
    case kPpKeySpec:
      return PutDword(kAtKeyExchange | kAtSignature, data, length);
    case kPpContainer:
    case kPpUniqueContainer:
      if (c->container[0] == '\0') return Result::Fail(Status::kContainerMissing);
      return PutText(c->container, data, length);
    case kPpSmartcardReader:
      if (c->reader[0] == '\0') return Result::Fail(Status::kNoDevice);
      return PutText(c->reader, data, length);
    default:
      return Result::Fail(Status::kBadType);
  }
}

Result CreateHash(MV_HANDLE prov, uint32_t alg, MV_HANDLE key, uint32_t flags, MV_HANDLE* hash) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (hash == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (key != 0) return Result::Fail(Status::kBadKey);  // no keyed hashes (HMAC, MAC) here
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  if (Describe(alg).kind != AlgorithmKind::Hash) return Result::Fail(Status::kBadAlgorithm);
  auto h = std::make_shared<HashObject>();
  h->owner = c;
  h->alg = alg;
  CSP_TRY(KeyLibrary::Run(P().lib().HSHashInit, static_cast<int>(alg), &h->state));
  *hash = P().AddHash(std::move(h));
  return Result::Ok();
}

Result HashData(MV_HANDLE prov, MV_HANDLE hash, const unsigned char* data, uint32_t length, uint32_t flags) {
  csp::Context* c = nullptr;
  std::shared_ptr<HashObject> h;
  CSP_TRY(LookupHash(prov, hash, &c, &h));
  if (data == nullptr && length != 0) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  std::lock_guard<std::mutex> lock(h->mutex);
  return HashMore(*h, data, length);
}

Result DestroyHash(MV_HANDLE prov, MV_HANDLE hash) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (!P().FindHash(c, hash)) return Result::Fail(Status::kBadHash);
  P().DestroyHash(hash);
  return Result::Ok();
}

Result SetHashParam(MV_HANDLE prov, MV_HANDLE hash, uint32_t param, const unsigned char* data, uint32_t flags) {
  csp::Context* c = nullptr;
  std::shared_ptr<HashObject> h;
  CSP_TRY(LookupHash(prov, hash, &c, &h));
  if (data == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  if (param != kHpHashVal) return Result::Fail(Status::kBadType);
  std::lock_guard<std::mutex> lock(h->mutex);
  // A value set by the caller (signing a hash made elsewhere) ends the hash.
  if (h->state != nullptr) {
    KeyLibrary::Run(P().lib().HSHashFinal, h->state, static_cast<unsigned char*>(nullptr), static_cast<int*>(nullptr));
    h->state = nullptr;
  }
  h->value.assign(data, data + Describe(h->alg).hashBytes);
  h->finished = true;
  return Result::Ok();
}

Result GetHashParam(MV_HANDLE prov, MV_HANDLE hash, uint32_t param, unsigned char* data, uint32_t* length,
                    uint32_t flags) {
  csp::Context* c = nullptr;
  std::shared_ptr<HashObject> h;
  CSP_TRY(LookupHash(prov, hash, &c, &h));
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  std::lock_guard<std::mutex> lock(h->mutex);
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
  csp::Context* c = nullptr;
  std::shared_ptr<HashObject> h;
  CSP_TRY(LookupHash(prov, hash, &c, &h));
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  if ((flags & ~kCryptNoHashOid) != 0) return Result::Fail(Status::kBadFlags);
  if (keySpec != kAtKeyExchange && keySpec != kAtSignature) return Result::Fail(Status::kNoKey);
  if (c->Verify()) return Result::Fail(Status::kContainerMissing);
  const KeyLibrary& lib = P().lib();
  CSP_TRY(lib.Need(lib.HSHashPadding, lib.HSRSASign, lib.HS_RSA_free));
  Session session(*c);
  CSP_TRY(session.Open());
  HS_HANDLE device = session.device;
  const int index = session.index;
  HS_RSA* rsa = nullptr;
  CSP_TRY(ReadPublicKey(device, index, keySpec, &rsa));
  const uint32_t size = ModulusBytes(rsa);
  lib.HS_RSA_free(rsa);
  if (signature == nullptr || *length < size) {
    CSP_TRY(Put(nullptr, size, nullptr, length));
    return signature == nullptr ? Result::Ok() : Result::Fail(Status::kMoreData);
  }
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
  CSP_TRY(KeyLibrary::Run(lib.HSRSASign, device, index, static_cast<int>(keySpec), block.data(), blockSize, out.data(),
                          &outSize));
  out.resize(static_cast<size_t>(std::clamp(outSize, 0, static_cast<int>(size))));
  return Put(Reversed(out), signature, length);
}

Result VerifySignature(MV_HANDLE prov, MV_HANDLE hash, const unsigned char* signature, uint32_t length,
                       MV_HANDLE pubKey, uint32_t flags) {
  csp::Context* c = nullptr;
  std::shared_ptr<HashObject> h;
  CSP_TRY(LookupHash(prov, hash, &c, &h));
  const auto k = P().FindKey(c, pubKey);
  if (!k || k->rsa == nullptr) return Result::Fail(Status::kBadKey);
  if (signature == nullptr) return Result::Fail(Status::kInvalidParameter);
  if ((flags & ~kCryptNoHashOid) != 0) return Result::Fail(Status::kBadFlags);
  const KeyLibrary& lib = P().lib();
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

Result ExportKey(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE pubKey, uint32_t blobType, uint32_t flags,
                 unsigned char* data, uint32_t* length) {
  csp::Context* c = nullptr;
  std::shared_ptr<KeyObject> k;
  CSP_TRY(LookupKey(prov, key, &c, &k));
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  const KeyLibrary& lib = P().lib();
  std::lock_guard<std::mutex> lock(k->mutex);
  switch (blobType) {
    case kPublicKeyBlob: {
      if (k->rsa == nullptr) return Result::Fail(Status::kBadKey);
      CSP_TRY(lib.Need(lib.HS_BN_bn2bin, lib.HS_BN_get_word, lib.HS_BN_num_bytes));
      return Put(PublicKeyBlob(k->alg, Modulus(k->rsa), static_cast<uint32_t>(lib.HS_BN_get_word(k->rsa->e)), k->bits),
                 data, length);
    }
    case kPrivateKeyBlob:
      // Private keys never leave the key.
      return Result::Fail(Status::kBadKeyState);
    case kPlaintextKeyBlob:
      if (!IsSession(*k)) return Result::Fail(Status::kBadKey);
      if ((k->permissions & kCryptExport) == 0) return Result::Fail(Status::kBadKeyState);
      return Put(PlaintextKeyBlob(ReportedAlgorithm(k->alg), k->secret), data, length);
    case kSimpleBlob: {
      if (!IsSession(*k)) return Result::Fail(Status::kBadKey);
      // Wrapped or plain, the key leaves: only with the export permission.
      if ((k->permissions & kCryptExport) == 0) return Result::Fail(Status::kBadKeyState);
      const auto wrap = P().FindKey(c, pubKey);
      if (!wrap || wrap == k || !IsExchangeRsa(*wrap) || wrap->rsa == nullptr) return Result::Fail(Status::kBadKey);
      const uint32_t size = ModulusBytes(wrap->rsa);
      const size_t blobSize = kBlobHeaderSize + 4 + size;
      if (data == nullptr || *length < blobSize) {
        CSP_TRY(Put(nullptr, blobSize, nullptr, length));
        return data == nullptr ? Result::Ok() : Result::Fail(Status::kMoreData);
      }
      Bytes cipher(size);
      int cipherSize = static_cast<int>(cipher.size());
      CSP_TRY(KeyLibrary::Run(lib.HSRSAEncryptSoft, wrap->rsa, k->secret.data(), static_cast<int>(k->secret.size()),
                              cipher.data(), &cipherSize));
      return Put(SimpleBlob(ReportedAlgorithm(k->alg), kCalgRsaKeyx, cipher), data, length);
    }
    default:
      return Result::Fail(Status::kBadType);
  }
}

Result ImportKey(MV_HANDLE prov, const unsigned char* data, uint32_t length, MV_HANDLE pubKey, uint32_t flags,
                 MV_HANDLE* key) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (key == nullptr || data == nullptr) return Result::Fail(Status::kInvalidParameter);
  const auto header = ParseHeader(data, length);
  if (!header) return Result::Fail(Status::kBadData);
  const KeyLibrary& lib = P().lib();
  const bool exportable = (flags & kCryptExportable) != 0;
  switch (header->type) {
    case kPublicKeyBlob: {
      const auto parts = ParsePublicKeyBlob(data, length);
      if (!parts) return Result::Fail(Status::kBadData);
      if (parts->alg != kCalgRsaKeyx && parts->alg != kCalgRsaSign) return Result::Fail(Status::kBadAlgorithm);
      CSP_TRY(lib.Need(lib.HS_RSA_new, lib.HS_BN_bin2bn, lib.HS_BN_new, lib.HS_BN_set_word, lib.HS_BN_num_bytes));
      HS_RSA* rsa = lib.HS_RSA_new();
      rsa->n = lib.HS_BN_bin2bn(parts->n.data(), static_cast<int>(parts->n.size()), nullptr);
      rsa->e = lib.HS_BN_new();
      uint32_t exponent = 0;
      for (unsigned char b : parts->e) exponent = exponent << 8 | b;
      lib.HS_BN_set_word(rsa->e, exponent);
      *key = P().AddKey(NewRsaKey(c, KeyObject::Kind::Public, parts->alg, 0, rsa));
      return Result::Ok();
    }
    case kPrivateKeyBlob: {
      if (c->Verify()) return Result::Fail(Status::kContainerMissing);
      if (header->alg != kCalgRsaKeyx && header->alg != kCalgRsaSign) return Result::Fail(Status::kBadAlgorithm);
      const uint32_t usage = header->alg == kCalgRsaKeyx ? kAtKeyExchange : kAtSignature;
      Session session(*c);
      CSP_TRY(session.Open());
      HS_HANDLE device = session.device;
      const int index = session.index;
      if (pubKey != 0) {
        // Enciphered under an SSF33 session key: the key takes the PKCS #1 key as it comes.
        const auto wrap = P().FindKey(c, pubKey);
        if (!wrap || !IsSession(*wrap) || wrap->alg != kCalgSsf33) return Result::Fail(Status::kBadKey);
        CSP_TRY(Verify(*c));
        CSP_TRY(KeyLibrary::Run(lib.HS33ImprotRSA, device, index, static_cast<int>(usage), wrap->secret.data(),
                                data + kBlobHeaderSize, static_cast<int>(length - kBlobHeaderSize)));
      } else {
        const auto parts = ParsePrivateKeyBlob(data, length);
        if (!parts) return Result::Fail(Status::kBadData);
        CSP_TRY(lib.Need(lib.HS_RSA_new, lib.HS_RSA_free, lib.HS_BN_bin2bn, lib.HS_i2d_RSAPrivateKey));
        HS_RSA* rsa = lib.HS_RSA_new();
        const std::pair<HS_BIGNUM * HS_RSA::*, const Bytes*> fields[] = {
            {&HS_RSA::n, &parts->n},     {&HS_RSA::e, &parts->e},      {&HS_RSA::d, &parts->d},
            {&HS_RSA::p, &parts->p},     {&HS_RSA::q, &parts->q},      {&HS_RSA::dmp1, &parts->dp},
            {&HS_RSA::dmq1, &parts->dq}, {&HS_RSA::iqmp, &parts->qinv}};
        for (const auto& f : fields)
          rsa->*f.first = lib.HS_BN_bin2bn(f.second->data(), static_cast<int>(f.second->size()), nullptr);
        const int size = lib.HS_i2d_RSAPrivateKey(rsa, nullptr);
        Bytes der(size > 0 ? static_cast<size_t>(size) : 0);
        unsigned char* p = der.data();
        if (size > 0) lib.HS_i2d_RSAPrivateKey(rsa, &p);
        lib.HS_RSA_free(rsa);
        if (der.empty()) return Result::Fail(Status::kBadData);
        const Result verified = Verify(*c);
        const Result imported = verified.ok()
                                    ? KeyLibrary::Run(lib.HSImportRSAEx, device, index, static_cast<int>(usage),
                                                      der.data(), static_cast<int>(der.size()))
                                    : verified;
        Wipe(der.data(), der.size());
        CSP_TRY(imported);
      }
      HS_RSA* rsa = nullptr;
      CSP_TRY(ReadPublicKey(device, index, usage, &rsa));
      *key = P().AddKey(NewRsaKey(c, KeyObject::Kind::Pair, header->alg, usage, rsa));
      return Result::Ok();
    }
    case kSimpleBlob: {
      const auto blob = ParseSimpleBlob(data, length);
      if (!blob) return Result::Fail(Status::kBadData);
      const AlgorithmInfo info = Describe(blob->alg);
      if (info.kind != AlgorithmKind::Block && info.kind != AlgorithmKind::Stream) {
        return Result::Fail(Status::kBadAlgorithm);
      }
      const auto wrap = P().FindKey(c, pubKey);
      if (!wrap || wrap->kind != KeyObject::Kind::Pair || wrap->usage != kAtKeyExchange) {
        return Result::Fail(Status::kBadKey);
      }
      Session session(*c);
      CSP_TRY(session.Open());
      HS_HANDLE device = session.device;
      const int index = session.index;
      CSP_TRY(Verify(*c));
      Bytes secret(blob->key.size());
      int size = static_cast<int>(secret.size());
      CSP_TRY(KeyLibrary::Run(lib.HSRSADecrypt, device, index, static_cast<int>(kAtKeyExchange), blob->key.data(),
                              static_cast<int>(blob->key.size()), secret.data(), &size));
      secret.resize(static_cast<size_t>(std::clamp(size, 0, static_cast<int>(secret.size()))));
      const uint32_t bits = BitsOf(blob->alg, secret.size());
      if (bits < info.minBits || bits > info.maxBits) return Result::Fail(Status::kBadData);
      *key = P().AddKey(NewSessionKey(c, blob->alg, bits, std::move(secret), exportable));
      return Result::Ok();
    }
    case kPlaintextKeyBlob: {
      const auto blob = ParsePlaintextKeyBlob(data, length);
      if (!blob) return Result::Fail(Status::kBadData);
      const AlgorithmInfo info = Describe(blob->alg);
      if (info.kind != AlgorithmKind::Block && info.kind != AlgorithmKind::Stream) {
        return Result::Fail(Status::kBadAlgorithm);
      }
      const uint32_t bits = BitsOf(blob->alg, blob->key.size());
      if (bits < info.minBits || bits > info.maxBits) return Result::Fail(Status::kBadData);
      *key = P().AddKey(NewSessionKey(c, blob->alg, bits, blob->key, exportable));
      return Result::Ok();
    }
    default:
      return Result::Fail(Status::kBadType);
  }
}

Result Encrypt(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, bool final, uint32_t flags, unsigned char* data,
               uint32_t* length, uint32_t bufferLength) {
  csp::Context* c = nullptr;
  std::shared_ptr<KeyObject> k;
  CSP_TRY(LookupKey(prov, key, &c, &k));
  std::shared_ptr<HashObject> h;
  if (hash != 0 && !(h = P().FindHash(c, hash))) return Result::Fail(Status::kBadHash);
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  const KeyLibrary& lib = P().lib();
  std::lock_guard<std::mutex> lock(k->mutex);
  const uint32_t in = *length;
  if (IsSession(*k)) {
    const uint32_t block = std::max<uint32_t>(Describe(k->alg).blockBytes, 1);
    if (!final && in % block != 0) return Result::Fail(Status::kBadData);
    // Counted in 64 bits: the padded length of an input near 2^32 must not wrap to a small one.
    const uint64_t padded = final && block > 1 ? (uint64_t{in} / block + 1) * block : uint64_t{in};
    if (padded > kMaxDataLength - 32) return Result::Fail(Status::kBadLength);
    const uint32_t out = static_cast<uint32_t>(padded);
    if (data == nullptr || bufferLength < out) {
      CSP_TRY(Put(nullptr, out, nullptr, length));
      return data == nullptr ? Result::Ok() : Result::Fail(Status::kMoreData);
    }
    if (h) {
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
  if (data == nullptr || bufferLength < size) {
    CSP_TRY(Put(nullptr, size, nullptr, length));
    return data == nullptr ? Result::Ok() : Result::Fail(Status::kMoreData);
  }
  if (h) {
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
  csp::Context* c = nullptr;
  std::shared_ptr<KeyObject> k;
  CSP_TRY(LookupKey(prov, key, &c, &k));
  std::shared_ptr<HashObject> h;
  if (hash != 0 && !(h = P().FindHash(c, hash))) return Result::Fail(Status::kBadHash);
  if (length == nullptr || (data == nullptr && *length != 0)) return Result::Fail(Status::kInvalidParameter);
  if (flags != 0) return Result::Fail(Status::kBadFlags);
  const KeyLibrary& lib = P().lib();
  std::lock_guard<std::mutex> lock(k->mutex);
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
    Session session(*c);
    CSP_TRY(session.Open());
    HS_HANDLE device = session.device;
    const int index = session.index;
    CSP_TRY(Verify(*c));
    const Bytes big = Reversed(Bytes(data, data + in));
    plain.assign(in, 0);
    int size = static_cast<int>(plain.size());
    const Result d = KeyLibrary::Run(lib.HSRSADecrypt, device, index, static_cast<int>(kAtKeyExchange), big.data(),
                                     static_cast<int>(big.size()), plain.data(), &size);
    if (d.status == Status::kKeyLibrary && d.code == HS_ERR_DATA) return Result::Fail(Status::kBadData);
    CSP_TRY(d);
    plain.resize(static_cast<size_t>(std::clamp(size, 0, static_cast<int>(in))));
  }
  if (plain.size() > in) return Result::Fail(Status::kInternal);
  if (!plain.empty()) std::memcpy(data, plain.data(), plain.size());
  *length = static_cast<uint32_t>(plain.size());
  Wipe(plain.data(), plain.size());
  if (h) {
    std::lock_guard<std::mutex> hashLock(h->mutex);
    CSP_TRY(HashMore(*h, data, *length));
  }
  return Result::Ok();
}

Result GenRandom(MV_HANDLE prov, uint32_t length, unsigned char* buffer) {
  csp::Context* c = nullptr;
  CSP_TRY(Lookup(prov, &c));
  if (buffer == nullptr && length != 0) return Result::Fail(Status::kInvalidParameter);
  if (length > 0x7FFFFFFF) return Result::Fail(Status::kBadLength);
  return KeyLibrary::Run(P().lib().HSGenRandom, P().Device(*c), buffer, static_cast<int>(length));
}

}  // namespace csp
