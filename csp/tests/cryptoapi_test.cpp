// The Windows module as CryptoAPI applications use it: registered with regsvr32, reached
// through advapi32, and checked against Wine's own RSA provider (rsaenh).
#include <string>
#include <vector>

#include "tw/testing.h"
#include "wine_support.h"

namespace {

using namespace csptest;
constexpr DWORD kWrongPin = 0x8800003D, kPinLocked = 0x8800003E, kSilentContext = 0x80090022;

std::wstring RegisteredImage() {
  wchar_t value[MAX_PATH] = {};
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kRegistryKey, L"Image Path", RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS) {
    return std::wstring();
  }
  return value;
}

std::vector<BYTE> ExportPublic(HCRYPTKEY key) {
  DWORD size = 0;
  EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) << std::hex << GetLastError();
  std::vector<BYTE> blob(size);
  EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) << std::hex << GetLastError();
  blob.resize(size);
  return blob;
}

class CryptoApi : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    store_ = new tw::testing::WorkDirectory("csp_store", false);
    SetEnvironmentVariableW(L"TARNWICK_GEA_STORE", store_->path().wstring().c_str());
    module_ = Folder() + L"\\MVCSP.dll";
    ASSERT_EQ(Regsvr32(module_, false), 0u);
    // The PIN for the tests' keys is given once; the provider and the key library cache it.
    Prov verify(nullptr, CRYPT_VERIFYCONTEXT);
    ASSERT_TRUE(verify.ok()) << std::hex << verify.error();
    ASSERT_EQ(SetPin(verify.get(), "12345678"), 0u);
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(Regsvr32(module_, true), 0u);
    EXPECT_EQ(RegisteredImage(), L"");
    delete store_;
  }

 protected:
  static tw::testing::WorkDirectory* store_;
  static std::wstring module_;
};
tw::testing::WorkDirectory* CryptoApi::store_ = nullptr;
std::wstring CryptoApi::module_;

TEST_F(CryptoApi, Regsvr32RegistersTheModuleAsAFullRsaProvider) {
  EXPECT_EQ(RegisteredImage(), module_);
  DWORD type = 0, size = sizeof type;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kRegistryKey, L"Type", RRF_RT_REG_DWORD, nullptr, &type, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(PROV_RSA_FULL));
  Prov prov(nullptr, CRYPT_VERIFYCONTEXT);
  ASSERT_TRUE(prov.ok()) << std::hex << prov.error();
  char name[128] = {};
  DWORD length = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0));
  EXPECT_STREQ(name, "Morvel Cryptographic Service Provider");
  // The key library of the system's language.
  const bool chinese = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
  EXPECT_NE(GetModuleHandleW(chinese ? L"GEA20135.dll" : L"GEA00001.dll"), nullptr);
}

TEST_F(CryptoApi, SignatureVerifiesWithWinesRsaProvider) {
  Prov prov(L"signing", CRYPT_NEWKEYSET);
  ASSERT_TRUE(prov.ok()) << std::hex << prov.error();
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 2048u << 16, &key)) << std::hex << GetLastError();
  const std::string message = "signed under Wine";
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov.get(), CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(message.data()), message.size(), 0));
  DWORD size = 0;
  ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
  ASSERT_EQ(size, 256u);
  std::vector<BYTE> signature(size);
  ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size)) << std::hex << GetLastError();
  CryptDestroyHash(hash);
  const std::vector<BYTE> blob = ExportPublic(key);
  CryptDestroyKey(key);

  Prov rsaenh(nullptr, CRYPT_VERIFYCONTEXT, MS_ENHANCED_PROV_W);
  ASSERT_TRUE(rsaenh.ok());
  HCRYPTKEY pub = 0;
  ASSERT_TRUE(CryptImportKey(rsaenh.get(), blob.data(), blob.size(), 0, 0, &pub)) << std::hex << GetLastError();
  auto verifies = [&](const std::vector<BYTE>& sig) {
    HCRYPTHASH h = 0;
    EXPECT_TRUE(CryptCreateHash(rsaenh.get(), CALG_SHA1, 0, 0, &h));
    EXPECT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>(message.data()), message.size(), 0));
    const bool ok = CryptVerifySignatureW(h, sig.data(), sig.size(), pub, nullptr, 0);
    CryptDestroyHash(h);
    return ok;
  };
  EXPECT_TRUE(verifies(signature)) << std::hex << GetLastError();
  std::vector<BYTE> tampered = signature;
  tampered[10] ^= 1;
  EXPECT_FALSE(verifies(tampered));
  CryptDestroyKey(pub);
}

TEST_F(CryptoApi, RsaenhEnciphersForOurKeyAndWeDecipher) {
  Prov prov(L"exchange", CRYPT_NEWKEYSET);
  ASSERT_TRUE(prov.ok()) << std::hex << prov.error();
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024u << 16, &key)) << std::hex << GetLastError();
  const std::vector<BYTE> blob = ExportPublic(key);
  Prov rsaenh(nullptr, CRYPT_VERIFYCONTEXT, MS_ENHANCED_PROV_W);
  ASSERT_TRUE(rsaenh.ok());
  HCRYPTKEY pub = 0;
  ASSERT_TRUE(CryptImportKey(rsaenh.get(), blob.data(), blob.size(), 0, 0, &pub));

  // RSA itself: a short secret enciphered by rsaenh, deciphered on the key.
  const std::string secret = "a secret for the key";
  std::vector<BYTE> data(128);
  std::copy(secret.begin(), secret.end(), data.begin());
  DWORD length = secret.size();
  ASSERT_TRUE(CryptEncrypt(pub, 0, TRUE, 0, data.data(), &length, data.size())) << std::hex << GetLastError();
  ASSERT_EQ(length, 128u);
  ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &length)) << std::hex << GetLastError();
  EXPECT_EQ(std::string(data.begin(), data.begin() + length), secret);

  // A session key rsaenh wraps for our key: both sides then encipher alike, byte for byte.
  for (ALG_ID alg : {CALG_3DES, CALG_RC4, CALG_DES}) {
    SCOPED_TRACE(alg);
    HCRYPTKEY theirs = 0, ours = 0;
    ASSERT_TRUE(CryptGenKey(rsaenh.get(), alg, CRYPT_EXPORTABLE, &theirs));
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(theirs, pub, SIMPLEBLOB, 0, nullptr, &size));
    std::vector<BYTE> wrapped(size);
    ASSERT_TRUE(CryptExportKey(theirs, pub, SIMPLEBLOB, 0, wrapped.data(), &size)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptImportKey(prov.get(), wrapped.data(), size, key, 0, &ours)) << std::hex << GetLastError();
    const std::string plain = "twenty-one characters";
    std::vector<BYTE> a(64), b(64);
    std::copy(plain.begin(), plain.end(), a.begin());
    std::copy(plain.begin(), plain.end(), b.begin());
    DWORD la = plain.size(), lb = plain.size();
    ASSERT_TRUE(CryptEncrypt(theirs, 0, TRUE, 0, a.data(), &la, a.size()));
    ASSERT_TRUE(CryptEncrypt(ours, 0, TRUE, 0, b.data(), &lb, b.size())) << std::hex << GetLastError();
    EXPECT_EQ(std::vector<BYTE>(a.begin(), a.begin() + la), std::vector<BYTE>(b.begin(), b.begin() + lb));
    ASSERT_TRUE(CryptDecrypt(ours, 0, TRUE, 0, a.data(), &la)) << std::hex << GetLastError();
    EXPECT_EQ(std::string(a.begin(), a.begin() + la), plain);
    CryptDestroyKey(ours);
    CryptDestroyKey(theirs);
  }
  CryptDestroyKey(pub);
  CryptDestroyKey(key);
}

TEST_F(CryptoApi, EnumeratesAlgorithmsAndContainers) {
  {
    Prov created(L"listed", CRYPT_NEWKEYSET);
    ASSERT_TRUE(created.ok()) << std::hex << created.error();
  }
  Prov prov(nullptr, CRYPT_VERIFYCONTEXT);
  ASSERT_TRUE(prov.ok());
  std::vector<PROV_ENUMALGS> algorithms;
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    PROV_ENUMALGS entry{};
    DWORD size = sizeof entry;
    if (!CryptGetProvParam(prov.get(), PP_ENUMALGS, reinterpret_cast<BYTE*>(&entry), &size, flags)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    algorithms.push_back(entry);
  }
  ASSERT_EQ(algorithms.size(), 18u);
  EXPECT_EQ(algorithms[0].aiAlgid, static_cast<ALG_ID>(CALG_SHA1));
  EXPECT_STREQ(algorithms[0].szName, "SHA1");
  EXPECT_EQ(algorithms[16].aiAlgid, 0xFFu);
  EXPECT_STREQ(algorithms[16].szName, "CALG_SSF33");
  EXPECT_EQ(algorithms[17].aiAlgid, 0xFEu);
  EXPECT_EQ(algorithms[17].dwNameLen, 10u);

  std::vector<std::string> names;
  DWORD longest = 0;
  ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, nullptr, &longest, CRYPT_FIRST));
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    std::vector<char> name(longest);
    DWORD size = longest;
    if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name.data()), &size, flags)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    names.emplace_back(name.data());
  }
  EXPECT_NE(std::find(names.begin(), names.end(), "listed"), names.end());
}

TEST_F(CryptoApi, SelfSignedCertificateOnTheKeyReachesTheUserStore) {
  Prov prov(L"certified", CRYPT_NEWKEYSET);
  ASSERT_TRUE(prov.ok()) << std::hex << prov.error();
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024u << 16, &key));
  BYTE name[256];
  DWORD nameSize = sizeof name;
  ASSERT_TRUE(CertStrToNameW(X509_ASN_ENCODING, L"CN=Tarnwick provider test", CERT_X500_NAME_STR, nullptr, name,
                             &nameSize, nullptr));
  CERT_NAME_BLOB subject{nameSize, name};
  // crypt32 signs the certificate through the provider: hash, signature and public key are ours.
  PCCERT_CONTEXT cert =
      CertCreateSelfSignCertificate(prov.get(), &subject, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(cert, nullptr) << std::hex << GetLastError();
  ASSERT_TRUE(CryptSetKeyParam(key, KP_CERTIFICATE, cert->pbCertEncoded, 0)) << std::hex << GetLastError();
  DWORD size = 0;
  ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0));
  std::vector<BYTE> stored(size);
  ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, stored.data(), &size, 0));
  EXPECT_EQ(stored, std::vector<BYTE>(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded));
  // Enumerating the containers publishes the key's certificates, tied to this provider.
  char container[65];
  size = sizeof container;
  ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(container), &size, CRYPT_FIRST));
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  ASSERT_NE(my, nullptr);
  PCCERT_CONTEXT found = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
  ASSERT_NE(found, nullptr);
  BYTE info[512];
  size = sizeof info;
  ASSERT_TRUE(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, info, &size));
  const auto* provInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info);
  EXPECT_STREQ(provInfo->pwszProvName, kProvider);
  EXPECT_STREQ(provInfo->pwszContainerName, L"certified");
  EXPECT_EQ(provInfo->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
  CertDeleteCertificateFromStore(found);
  CertCloseStore(my, 0);
  CertFreeCertificateContext(cert);
  CryptDestroyKey(key);
}

TEST_F(CryptoApi, BadInput) {
  struct Case {
    std::wstring container;
    DWORD flags;
    DWORD error;
  };
  const Case cases[] = {
      {std::wstring(261, L'a'), 0, 0x8009001F},
      {std::wstring(65, L'b'), CRYPT_NEWKEYSET, 0x8009001F},
      {L"\\\\.\\Morvel USB Key 0\\" + std::wstring(65, L'c'), 0, 0x8009001F},
      {L"\\\\.\\No Such Reader\\x", 0, 0x80090020},
      {L"missing", 0, static_cast<DWORD>(NTE_BAD_KEYSET)},
      {L"", CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, static_cast<DWORD>(NTE_BAD_FLAGS)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.container.size());
    Prov prov(c.container.c_str(), c.flags);
    EXPECT_FALSE(prov.ok());
    EXPECT_EQ(prov.error(), c.error);
  }
  {
    Prov twice(L"twice", CRYPT_NEWKEYSET);
    ASSERT_TRUE(twice.ok()) << std::hex << twice.error();
    Prov again(L"twice", CRYPT_NEWKEYSET);
    EXPECT_EQ(again.error(), static_cast<DWORD>(NTE_EXISTS));
  }
  Prov prov(nullptr, CRYPT_VERIFYCONTEXT);
  ASSERT_TRUE(prov.ok());
  // A buffer too small: the size needed comes back and nothing is written past the buffer.
  char name[64];
  std::fill(std::begin(name), std::end(name), '#');
  DWORD length = 5;
  EXPECT_FALSE(CryptGetProvParam(prov.get(), PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(length, sizeof "Morvel Cryptographic Service Provider");
  EXPECT_EQ(std::count(std::begin(name), std::end(name), '#'), 64);
}

TEST_F(CryptoApi, WrongPinsUntilTheLock) {
  Prov prov(nullptr, CRYPT_VERIFYCONTEXT);
  ASSERT_TRUE(prov.ok());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(SetPin(prov.get(), "00000000"), kWrongPin) << i;
  EXPECT_EQ(SetPin(prov.get(), "00000000"), kPinLocked);
  EXPECT_EQ(SetPin(prov.get(), "12345678"), kPinLocked);
  Control("unlock", 0);
  EXPECT_EQ(SetPin(prov.get(), "12345678"), 0u);
}

TEST_F(CryptoApi, SilentContextNeverAsks) {
  {
    Prov created(L"asks", CRYPT_NEWKEYSET);
    ASSERT_TRUE(created.ok()) << std::hex << created.error();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(created.get(), AT_SIGNATURE, 1024u << 16, &key));
    CryptDestroyKey(key);
  }
  // No context is open, so the provider's reader table is gone; the key library forgets too.
  Control("logout", 0);
  Prov prov(L"asks", CRYPT_SILENT);
  ASSERT_TRUE(prov.ok()) << std::hex << prov.error();
  EXPECT_EQ(SignError(prov.get()), kSilentContext);
  EXPECT_EQ(SetPin(prov.get(), "12345678"), 0u);
  EXPECT_EQ(SignError(prov.get()), 0u);
}

// Runs last: it takes the registration to a copy of the module without its key library.
TEST_F(CryptoApi, ZZWithoutTheKeyLibraryEveryAcquireFails) {
  // Beside the program, not in the temporary folder: Wine keeps the failed module mapped.
  const std::wstring alone = Folder() + L"\\alone";
  std::filesystem::create_directories(alone);
  ASSERT_TRUE(CopyFileW(module_.c_str(), (alone + L"\\MVCSP.dll").c_str(), FALSE));
  ASSERT_EQ(Regsvr32(alone + L"\\MVCSP.dll", false), 0u);
  Prov prov(nullptr, CRYPT_VERIFYCONTEXT);
  EXPECT_FALSE(prov.ok());
  EXPECT_EQ(prov.error(), 0xE0020007u);
  ASSERT_EQ(Regsvr32(module_, false), 0u);
}

}  // namespace
