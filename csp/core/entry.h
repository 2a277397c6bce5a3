// The provider's 25 operations, as the Windows provider interface defines them, each with a
// Result in place of the boolean and the last error. The export file wraps them.
#pragma once

#include "mvcsp.h"
#include "status.h"

namespace csp {

// Parameter, flag and blob numbers of the provider interface.
constexpr uint32_t kPpEnumAlgs = 1, kPpEnumContainers = 2, kPpImpType = 3, kPpName = 4, kPpVersion = 5,
                   kPpContainer = 6, kPpProvType = 16, kPpEnumAlgsEx = 22, kPpKeysetType = 27, kPpKeyExchangePin = 32,
                   kPpSignaturePin = 33, kPpSigKeysizeInc = 34, kPpKeyxKeysizeInc = 35, kPpUniqueContainer = 36,
                   kPpKeySpec = 39, kPpSmartcardReader = 43;
constexpr uint32_t kCryptFirst = 1;
constexpr uint32_t kHpAlgid = 1, kHpHashVal = 2, kHpHashSize = 4;
constexpr uint32_t kKpIv = 1, kKpSalt = 2, kKpPadding = 3, kKpMode = 4, kKpModeBits = 5, kKpPermissions = 6,
                   kKpAlgid = 7, kKpBlockLen = 8, kKpKeyLen = 9, kKpEffectiveKeyLen = 19, kKpCertificate = 26;
constexpr uint32_t kCryptExportable = 1, kCryptNoHashOid = 1, kCryptModeCbc = 1, kCryptModeEcb = 2, kPkcs5Padding = 1;
constexpr uint32_t kProviderVersion = 0x200;
constexpr uint32_t kImplMixedRemovable = 3 | 8;

Result AcquireContext(MV_HANDLE* prov, const char* container, uint32_t flags, const MV_VTABLE_PROV* vtable);
Result ReleaseContext(MV_HANDLE prov, uint32_t flags);
Result GenKey(MV_HANDLE prov, uint32_t alg, uint32_t flags, MV_HANDLE* key);
Result DeriveKey(MV_HANDLE prov, uint32_t alg, MV_HANDLE hash, uint32_t flags, MV_HANDLE* key);
Result DestroyKey(MV_HANDLE prov, MV_HANDLE key);
Result SetKeyParam(MV_HANDLE prov, MV_HANDLE key, uint32_t param, const unsigned char* data, uint32_t flags);
Result GetKeyParam(MV_HANDLE prov, MV_HANDLE key, uint32_t param, unsigned char* data, uint32_t* length,
                   uint32_t flags);
Result SetProvParam(MV_HANDLE prov, uint32_t param, const unsigned char* data, uint32_t flags);
Result GetProvParam(MV_HANDLE prov, uint32_t param, unsigned char* data, uint32_t* length, uint32_t flags);
Result SetHashParam(MV_HANDLE prov, MV_HANDLE hash, uint32_t param, const unsigned char* data, uint32_t flags);
Result GetHashParam(MV_HANDLE prov, MV_HANDLE hash, uint32_t param, unsigned char* data, uint32_t* length,
                    uint32_t flags);
Result ExportKey(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE pubKey, uint32_t blobType, uint32_t flags,
                 unsigned char* data, uint32_t* length);
Result ImportKey(MV_HANDLE prov, const unsigned char* data, uint32_t length, MV_HANDLE pubKey, uint32_t flags,
                 MV_HANDLE* key);
Result Encrypt(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, bool final, uint32_t flags, unsigned char* data,
               uint32_t* length, uint32_t bufferLength);
Result Decrypt(MV_HANDLE prov, MV_HANDLE key, MV_HANDLE hash, bool final, uint32_t flags, unsigned char* data,
               uint32_t* length);
Result CreateHash(MV_HANDLE prov, uint32_t alg, MV_HANDLE key, uint32_t flags, MV_HANDLE* hash);
Result HashData(MV_HANDLE prov, MV_HANDLE hash, const unsigned char* data, uint32_t length, uint32_t flags);
Result SignHash(MV_HANDLE prov, MV_HANDLE hash, uint32_t keySpec, uint32_t flags, unsigned char* signature,
                uint32_t* length);
Result DestroyHash(MV_HANDLE prov, MV_HANDLE hash);
Result VerifySignature(MV_HANDLE prov, MV_HANDLE hash, const unsigned char* signature, uint32_t length,
                       MV_HANDLE pubKey, uint32_t flags);
Result GenRandom(MV_HANDLE prov, uint32_t length, unsigned char* buffer);
Result GetUserKey(MV_HANDLE prov, uint32_t keySpec, MV_HANDLE* key);
// Duplicating a hash and hashing a session key are not offered: one body answers for both.
Result NotOffered();
template <typename... Ignored>
Result NotOffered(const Ignored&...) {
  return NotOffered();
}
Result DuplicateKey(MV_HANDLE prov, MV_HANDLE key, uint32_t flags, MV_HANDLE* duplicate);

}  // namespace csp
