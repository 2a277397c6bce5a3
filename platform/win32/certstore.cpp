#include "platform/certstore.h"

#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include "platform/codepage.h"

namespace platform {

bool PublishUserCertificate(const std::string& der, const std::string& provider, uint32_t providerType,
                            const std::string& container, uint32_t keyKind) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  if (store == nullptr) return false;
  PCCERT_CONTEXT added = nullptr;
  bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                             reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, &added);
  if (ok) {
    std::wstring containerW = WideFromUtf8(container), providerW = WideFromUtf8(provider);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = &containerW[0];
    info.pwszProvName = &providerW[0];
    info.dwProvType = providerType;
    info.dwKeySpec = keyKind;
    ok = CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    CertFreeCertificateContext(added);
  }
  CertCloseStore(store, 0);
  return ok;
}

}  // namespace platform
