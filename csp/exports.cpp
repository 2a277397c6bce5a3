// The provider's exports: the 25 entry points under the prefix Rel and under the standard
// names CryptoAPI loads, and the registration. Here alone a Result becomes the boolean and the
// thread's last error.
#include <new>

#include "entry.h"
#include "mvcsp.h"
#include "platform/export.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "platform/thread_error.h"
#include "provider.h"
#include "tw/log.h"

namespace {

using csp::Result;
using csp::Status;

uint32_t ErrorCode(const Result& r) {
  switch (r.status) {
    case Status::kOk:
      return 0;
    case Status::kInvalidParameter:
    case Status::kNoDevice:
      return 87;  // ERROR_INVALID_PARAMETER
    case Status::kBadFlags:
      return 0x80090009;
    case Status::kBadType:
      return 0x8009000A;
    case Status::kBadAlgorithm:
      return 0x80090008;
    case Status::kBadLength:
      return 0x80090004;
    case Status::kBadData:
      return 0x80090005;
    case Status::kMoreData:
      return 234;  // ERROR_MORE_DATA
    case Status::kNoMoreItems:
      return 259;  // ERROR_NO_MORE_ITEMS
    case Status::kSilent:
      return 0x80090022;
    case Status::kNotOffered:
      return 120;  // ERROR_CALL_NOT_IMPLEMENTED
    case Status::kNoContext:
      return 0x80090001;
    case Status::kBadHash:
      return 0x80090002;
    case Status::kBadKey:
      return 0x80090003;
    case Status::kBadHashState:
      return 0x8009000C;
    case Status::kBadKeyState:
      return 0x8009000B;
    case Status::kNoKey:
      return 0x8009000D;
    case Status::kBadSignature:
      return 0x80090006;
    case Status::kNoMemory:
      return 0x8009000E;
    case Status::kContainerExists:
      return 0x8009000F;
    case Status::kContainerMissing:
      return 0x80090016;
    case Status::kBadContainerName:
      return 0x8009001F;
    case Status::kInternal:
      return 0x80090020;
    case Status::kCancelled:
      return csp::kCodeCancelled;
    case Status::kTableFull:
      return 0x88000008;
    case Status::kNoKeyLibrary:
      return 0xE0020007;
    case Status::kUnbound:
      return 127;  // ERROR_PROC_NOT_FOUND
    case Status::kKeyLibrary:
      return r.code;
  }
  return 0x80090020;
}

// No exception leaves an entry point; the outcome goes to the thread's last error.
template <typename Operation>
MV_BOOL Answer(const char* name, Operation operation) {
  Result r;
  try {
    r = operation();
  } catch (const std::bad_alloc&) {
    r = Result::Fail(Status::kNoMemory);
  } catch (...) {
    r = Result::Fail(Status::kInternal);
  }
  const uint32_t code = ErrorCode(r);
  if (code != 0) TW_LOG_AS(name, tw::log::Severity::Debug, "failed: {:#x}", code);
  platform::SetThreadError(code);
  return r.ok() ? 1 : 0;
}

const std::string kRegistryKey =
    std::string("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + csp::kProviderName;

}  // namespace

// Rel<name> does the work; CP<name>, the name CryptoAPI binds, is the same function.
#define MVCSP_ENTRY(name, params, args, call)         \
  TW_EXPORT MV_BOOL MVCSP_CALL Rel##name params {     \
    return Answer("Rel" #name, [&] { return call; }); \
  }                                                   \
  TW_EXPORT MV_BOOL MVCSP_CALL CP##name params { return Rel##name args; }

MVCSP_ENTRY(AcquireContext, (MV_HANDLE * prov, const char* container, MV_DWORD flags, const MV_VTABLE_PROV* vtable),
            (prov, container, flags, vtable), csp::AcquireContext(prov, container, flags, vtable))
MVCSP_ENTRY(ReleaseContext, (MV_HANDLE prov, MV_DWORD flags), (prov, flags), csp::ReleaseContext(prov, flags))
MVCSP_ENTRY(GenKey, (MV_HANDLE prov, MV_ALG_ID alg, MV_DWORD flags, MV_HANDLE* key), (prov, alg, flags, key),
            csp::GenKey(prov, alg, flags, key))
MVCSP_ENTRY(DeriveKey, (MV_HANDLE prov, MV_ALG_ID alg, MV_HANDLE hash, MV_DWORD flags, MV_HANDLE* key),
            (prov, alg, hash, flags, key), csp::DeriveKey(prov, alg, hash, flags, key))
MVCSP_ENTRY(DestroyKey, (MV_HANDLE prov, MV_HANDLE key), (prov, key), csp::DestroyKey(prov, key))
MVCSP_ENTRY(SetKeyParam, (MV_HANDLE prov, MV_HANDLE key, MV_DWORD param, const unsigned char* data, MV_DWORD flags),
            (prov, key, param, data, flags), csp::SetKeyParam(prov, key, param, data, flags))
MVCSP_ENTRY(GetKeyParam,
            (MV_HANDLE prov, MV_HANDLE key, MV_DWORD param, unsigned char* data, MV_DWORD* length, MV_DWORD flags),
            (prov, key, param, data, length, flags), csp::GetKeyParam(prov, key, param, data, length, flags))
MVCSP_ENTRY(SetProvParam, (MV_HANDLE prov, MV_DWORD param, const unsigned char* data, MV_DWORD flags),
            (prov, param, data, flags), csp::SetProvParam(prov, param, data, flags))
MVCSP_ENTRY(GetProvParam, (MV_HANDLE prov, MV_DWORD param, unsigned char* data, MV_DWORD* length, MV_DWORD flags),
            (prov, param, data, length, flags), csp::GetProvParam(prov, param, data, length, flags))
MVCSP_ENTRY(SetHashParam, (MV_HANDLE prov, MV_HANDLE hash, MV_DWORD param, const unsigned char* data, MV_DWORD flags),
            (prov, hash, param, data, flags), csp::SetHashParam(prov, hash, param, data, flags))
MVCSP_ENTRY(GetHashParam,
            (MV_HANDLE prov, MV_HANDLE hash, MV_DWORD param, unsigned char* data, MV_DWORD* length, MV_DWORD flags),
            (prov, hash, param, data, length, flags), csp::GetHashParam(prov, hash, param, data, length, flags))
MVCSP_ENTRY(ExportKey,
            (MV_HANDLE prov, MV_HANDLE key, MV_HANDLE pubKey, MV_DWORD blobType, MV_DWORD flags, unsigned char* data,
             MV_DWORD* length),
            (prov, key, pubKey, blobType, flags, data, length),
            csp::ExportKey(prov, key, pubKey, blobType, flags, data, length))
MVCSP_ENTRY(ImportKey,
            (MV_HANDLE prov, const unsigned char* data, MV_DWORD length, MV_HANDLE pubKey, MV_DWORD flags,
             MV_HANDLE* key),
            (prov, data, length, pubKey, flags, key), csp::ImportKey(prov, data, length, pubKey, flags, key))
MVCSP_ENTRY(Encrypt,
            (MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, MV_BOOL final, MV_DWORD flags, unsigned char* data,
             MV_DWORD* length, MV_DWORD bufferLength),
            (prov, key, hash, final, flags, data, length, bufferLength),
            csp::Encrypt(prov, key, hash, final != 0, flags, data, length, bufferLength))
MVCSP_ENTRY(Decrypt,
            (MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, MV_BOOL final, MV_DWORD flags, unsigned char* data,
             MV_DWORD* length),
            (prov, key, hash, final, flags, data, length),
            csp::Decrypt(prov, key, hash, final != 0, flags, data, length))
MVCSP_ENTRY(CreateHash, (MV_HANDLE prov, MV_ALG_ID alg, MV_HANDLE key, MV_DWORD flags, MV_HANDLE* hash),
            (prov, alg, key, flags, hash), csp::CreateHash(prov, alg, key, flags, hash))
MVCSP_ENTRY(HashData, (MV_HANDLE prov, MV_HANDLE hash, const unsigned char* data, MV_DWORD length, MV_DWORD flags),
            (prov, hash, data, length, flags), csp::HashData(prov, hash, data, length, flags))
MVCSP_ENTRY(HashSessionKey, (MV_HANDLE prov, MV_HANDLE hash, MV_HANDLE key, MV_DWORD flags), (prov, hash, key, flags),
            csp::NotOffered(prov, hash, key, flags))
MVCSP_ENTRY(SignHash,
            (MV_HANDLE prov, MV_HANDLE hash, MV_DWORD keySpec, const void* description, MV_DWORD flags,
             unsigned char* signature, MV_DWORD* length),
            (prov, hash, keySpec, description, flags, signature, length),
            (static_cast<void>(description), csp::SignHash(prov, hash, keySpec, flags, signature, length)))
MVCSP_ENTRY(DestroyHash, (MV_HANDLE prov, MV_HANDLE hash), (prov, hash), csp::DestroyHash(prov, hash))
MVCSP_ENTRY(VerifySignature,
            (MV_HANDLE prov, MV_HANDLE hash, const unsigned char* signature, MV_DWORD length, MV_HANDLE pubKey,
             const void* description, MV_DWORD flags),
            (prov, hash, signature, length, pubKey, description, flags),
            (static_cast<void>(description), csp::VerifySignature(prov, hash, signature, length, pubKey, flags)))
MVCSP_ENTRY(GenRandom, (MV_HANDLE prov, MV_DWORD length, unsigned char* buffer), (prov, length, buffer),
            csp::GenRandom(prov, length, buffer))
MVCSP_ENTRY(GetUserKey, (MV_HANDLE prov, MV_DWORD keySpec, MV_HANDLE* key), (prov, keySpec, key),
            csp::GetUserKey(prov, keySpec, key))
MVCSP_ENTRY(DuplicateHash, (MV_HANDLE prov, MV_HANDLE hash, MV_DWORD* reserved, MV_DWORD flags, MV_HANDLE* duplicate),
            (prov, hash, reserved, flags, duplicate), csp::NotOffered(prov, hash, reserved, flags, duplicate))
MVCSP_ENTRY(DuplicateKey, (MV_HANDLE prov, MV_HANDLE key, MV_DWORD* reserved, MV_DWORD flags, MV_HANDLE* duplicate),
            (prov, key, reserved, flags, duplicate),
            (static_cast<void>(reserved), csp::DuplicateKey(prov, key, flags, duplicate)))

TW_EXPORT int32_t MVCSP_CALL DllRegisterServer(void) {
  using platform::RegistryRoot;
  const bool ok =
      platform::RegistrySetString(RegistryRoot::LocalMachine, kRegistryKey, "Image Path", platform::ModulePath()) &&
      platform::RegistrySetDword(RegistryRoot::LocalMachine, kRegistryKey, "Type", csp::kProvRsaFull) &&
      platform::RegistrySetDword(RegistryRoot::LocalMachine, kRegistryKey, "SigInFile", 0);
  return ok ? 0 : static_cast<int32_t>(0x80040201);
}

TW_EXPORT int32_t MVCSP_CALL DllUnregisterServer(void) {
  return platform::RegistryDeleteTree(platform::RegistryRoot::LocalMachine, kRegistryKey)
             ? 0
             : static_cast<int32_t>(0x80040201);
}
