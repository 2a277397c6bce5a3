// What the provider's entry points share: the opening of a call, the caller's buffer rule, a
// session on the context's key, and the objects a call makes. The entry points themselves live
// by what they handle: entry_context.cpp, entry_hash.cpp, entry_key.cpp, entry_blob.cpp and
// entry_cipher.cpp.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "entry.h"
#include "provider.h"

namespace csp {

constexpr uint32_t kCryptExport = 4;  // the key permission that lets a key leave in a blob
// The key library takes lengths as int; what passes this cannot be handed to it.
constexpr uint32_t kMaxDataLength = 0x7FFFFFFF;
constexpr size_t kMaxDer = 4096;
constexpr size_t kMaxCertificate = 16384;

// The process-wide provider every entry point works through.
inline Provider& TheProvider() { return Provider::Get(); }
inline const KeyLibrary& KeyLib() { return Provider::Get().lib(); }

// The opening of an entry point. Each step is skipped once one has failed, so a chain keeps
// the order in which callers see failures: the context, the key or hash named, the caller's
// pointers, the flags. The lock of the named object, once taken, lasts to the end of the call.
class Call {
 public:
  explicit Call(MV_HANDLE prov);
  Call& Key(MV_HANDLE key);            // a key of the context, required
  Call& Hash(MV_HANDLE hash);          // a hash of the context, required
  Call& OptionalHash(MV_HANDLE hash);  // a hash of the context, or 0 for none
  Call& Pointers(bool given);          // the caller's required pointers are there
  Call& Flags(uint32_t flags, uint32_t allowed = 0);
  Call& LockKey();
  Call& LockHash();
  const Result& result() const { return result_; }

  Context* c = nullptr;
  std::shared_ptr<KeyObject> key;
  std::shared_ptr<HashObject> hash;

 private:
  Result result_;
  std::unique_lock<std::mutex> lock_;
};

// The caller's buffer rule: a null buffer asks for the size; a small one gets the size and
// kMoreData; nothing is ever written past *length bytes.
Result Put(const void* source, size_t size, unsigned char* data, uint32_t* length);
Result Put(const Bytes& b, unsigned char* data, uint32_t* length);
Result PutDword(uint32_t value, unsigned char* data, uint32_t* length);
Result PutText(const std::string& text, unsigned char* data, uint32_t* length);
// The size of an answer only: the size query succeeds, a buffer too small gets kMoreData.
Result PutSizeOnly(size_t size, const unsigned char* data, uint32_t* length);

// The context's key for one operation: its reader's handle, inside the key library's
// transaction, and (unless asked not to) the place of the context's container.
class Session {
 public:
  explicit Session(Context& c) : c_(c) {}
  Result Open(bool withContainer = true);
  // Opens with the container and has the user verified, as every use of a private key needs.
  Result OpenVerified();
  HS_HANDLE device = nullptr;
  int index = 0;

 private:
  Context& c_;
  std::optional<Transaction> transaction_;
};

// The user's verification for the context, with a given PIN or through the prompt.
Result Verify(Context& c, const std::optional<Secret>& given = std::nullopt);

// The RSA public key of a key pair in a container, through its DER form.
Result ReadPublicKey(HS_HANDLE device, int index, uint32_t usage, HS_RSA** rsa);
uint32_t ModulusBytes(const HS_RSA* rsa);

// Ends the hash and keeps its value (signing, verifying, deriving and the value query all end a
// hash), or adds data to a hash still open.
Result Finish(HashObject& h);
Result HashMore(HashObject& h, const unsigned char* data, uint32_t length);

// A session key's bytes for its length in bits, and back (DES keys carry a parity bit per byte).
uint32_t KeyBytes(uint32_t alg, uint32_t bits);
uint32_t BitsOf(uint32_t alg, size_t bytes);
// The provider's own ciphers leave under their public identifiers.
uint32_t ReportedAlgorithm(uint32_t alg);

// A block or stream cipher's description, or kBadAlgorithm.
Result SessionAlgorithm(uint32_t alg, AlgorithmInfo* info);
// A new session key of the context from its bytes, its length checked against the algorithm.
Result AddSessionKey(const Context* c, uint32_t alg, const AlgorithmInfo& info, Bytes secret, bool exportable,
                     MV_HANDLE* key);

std::shared_ptr<KeyObject> NewSessionKey(const Context* c, uint32_t alg, uint32_t bits, Bytes secret, bool exportable);
std::shared_ptr<KeyObject> NewRsaKey(const Context* c, KeyObject::Kind kind, uint32_t alg, uint32_t usage, HS_RSA* rsa);
// A key pair's object for the usage it serves (exchange or signature).
std::shared_ptr<KeyObject> NewPairKey(const Context* c, uint32_t usage, HS_RSA* rsa);

bool IsSession(const KeyObject& k);
bool IsExchangeRsa(const KeyObject& k);

}  // namespace csp
