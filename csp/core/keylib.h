// The key library, bound by name when the provider starts: every function of gea.h the
// provider may reach. One that the library lacks stays null, and calling through Run answers
// kUnbound instead of jumping to it; a library that could not be loaded binds nothing.
#pragma once

#include <string>

#include "gea.h"
#include "platform/dynlib.h"
#include "status.h"

namespace csp {

// clang-format off
#define CSP_KEYLIB_FUNCTIONS(X)                                                                    \
  X(HSConnectDev) X(HSDisconnectDev) X(HSBeginTransaction) X(HSEndTransaction) X(HSListReaders)    \
  X(HSGetDevState) X(HSSetDevChgEvent) X(HSGetContainerName) X(HSGetContainerNum) X(HSGetSerial)   \
  X(HSReadCachedPin) X(HSWriteCachedPin) X(HSCreateContainer) X(HSDelContainer) X(HSVerifyUserPin) \
  X(HSReadLabel) X(HSExportRSAPubKey) X(HSSymSessionEcb) X(HSSCB2Cbc) X(HSRSADecrypt)              \
  X(HSImportRSAEx) X(HSReadCert) X(HSWriteCert) X(HSHashPadding) X(HSGenRSA) X(HSRSASign)          \
  X(HSGetHWApp) X(HS33ImprotRSA) X(HSWriteCharacter) X(HSRSASignBD) X(BH_GetSignature)             \
  X(BH_ShowData) X(HSReadPCODE) X(HSRSAEncryptSoft) X(HSSymInit) X(HSSymUpdate) X(HSSymFinal)      \
  X(HSHashInit) X(HSHashUpdate) X(HSHashFinal) X(HSSHA1) X(HSGenRandom) X(HSGenRSAEx)              \
  X(HSRSAVerifySoft) X(HSRSAVerify) X(HSClearPin) X(HSImportRSA) X(HSRegistCertByReaderName)       \
  X(HSRegistCertByHandle) X(HSGetConfigValueString) X(HS_X509_SIG_free) X(HS_d2i_X509_SIG)         \
  X(HS_OBJ_obj2nid) X(HS_RSA_free) X(HS_BN_bn2bin) X(HS_BN_get_word) X(HS_BN_new)                  \
  X(HS_d2i_RSAPublicKey) X(HS_RSA_new) X(HS_BN_bin2bn) X(HS_BN_set_word) X(HS_BN_num_bytes)        \
  X(HS_i2d_RSAPrivateKey) X(HSGetCategory) X(HSFingerprintQuery) X(HSFingerprintVerify)
// clang-format on

struct KeyLibrary {
#define CSP_KEYLIB_MEMBER(name) decltype(&::name) name = nullptr;
  CSP_KEYLIB_FUNCTIONS(CSP_KEYLIB_MEMBER)
#undef CSP_KEYLIB_MEMBER

  bool loaded = false;
  std::string path;  // where it was loaded from

  // Binds every function by name from a loaded library (a missing one stays null).
  static KeyLibrary Bind(platform::DynLib lib, std::string path);
  // Loads `fileName` from `moduleFolder` (its companions found beside it), else from
  // `systemFolder`; not loaded when neither has it.
  static KeyLibrary Load(const std::string& fileName, const std::string& moduleFolder, const std::string& systemFolder);

  // Calls a function that answers with the library's result code.
  template <typename Fn, typename... Args>
  static Result Run(Fn fn, Args... args) {
    if (fn == nullptr) return Result::Fail(Status::kUnbound);
    return Result::Library(fn(args...));
  }
  // The functions the provider cannot work without for an operation; kUnbound (or
  // kNoKeyLibrary) unless all are there.
  template <typename... Fns>
  Result Need(Fns... fns) const {
    if (!loaded) return Result::Fail(Status::kNoKeyLibrary);
    const bool all = ((fns != nullptr) && ...);
    return all ? Result::Ok() : Result::Fail(Status::kUnbound);
  }
};

}  // namespace csp
