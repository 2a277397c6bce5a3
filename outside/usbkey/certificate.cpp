#include "certificate.h"

#include "der.h"
#include "tw/base64.h"

namespace usbkey {
namespace {

constexpr const char* kSha256WithRsa = "1.2.840.113549.1.1.11";
constexpr const char* kRsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* kCommonName = "2.5.4.3";
constexpr const char* kOrganisation = "2.5.4.10";
constexpr const char* kBasicConstraints = "2.5.29.19";
constexpr const char* kKeyUsage = "2.5.29.15";
// keyUsage bits 0 (digitalSignature) and 1 (nonRepudiation): 6 unused bits of one byte.
constexpr char kSigningKeyUsage[] = {'\x06', '\xC0'};

std::string Name(const CertificateRequest& r) {
  return der::Sequence({
      der::Set({der::Sequence({der::ObjectId(kOrganisation), der::Utf8String(r.organisation)})}),
      der::Set({der::Sequence({der::ObjectId(kCommonName), der::Utf8String(r.commonName)})}),
  });
}

std::string Extensions() {
  const std::string keyUsage = der::Tlv(0x03, std::string(kSigningKeyUsage, sizeof kSigningKeyUsage));
  return der::Explicit(
      3, der::Sequence({
             // An end-entity certificate: cA defaults to FALSE.
             der::Sequence({der::ObjectId(kBasicConstraints), der::Boolean(true), der::OctetString(der::Sequence({}))}),
             der::Sequence({der::ObjectId(kKeyUsage), der::Boolean(true), der::OctetString(keyUsage)}),
         }));
}

}  // namespace

std::string SelfSignedCertificate(const CertificateRequest& request, const RsaKey& key) {
  const std::string algorithm = der::Sequence({der::ObjectId(kSha256WithRsa), der::Null()});
  const std::string publicKey = der::Sequence({
      der::Sequence({der::ObjectId(kRsaEncryption), der::Null()}),
      der::BitString(der::Sequence({der::Integer(key.Modulus()), der::Integer(key.PublicExponent())})),
  });
  const std::string name = Name(request);
  const std::string tbs = der::Sequence({
      der::Explicit(0, der::Integer(uint64_t{2})),  // v3
      der::Integer(request.serialNumber),
      algorithm,
      name,
      der::Sequence({der::Time(request.notBefore), der::Time(request.notAfter)}),
      name,
      publicKey,
      Extensions(),
  });
  const std::string signature = key.SignSha256(tbs);
  if (signature.empty()) return {};
  return der::Sequence({tbs, algorithm, der::BitString(signature)});
}

std::string CertificatePem(const std::string& der) {
  const std::string base64 = tw::Base64(reinterpret_cast<const unsigned char*>(der.data()), der.size());
  std::string pem = "-----BEGIN CERTIFICATE-----\n";
  for (size_t i = 0; i < base64.size(); i += 64) pem += base64.substr(i, 64) + "\n";
  return pem + "-----END CERTIFICATE-----\n";
}

}  // namespace usbkey
