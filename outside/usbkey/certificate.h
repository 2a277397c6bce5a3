// A self-signed X.509 v3 certificate of the key's RSA key pair (sha256WithRSAEncryption), so that
// a page can check the key's signatures with the public key it carries.
#pragma once

#include <cstdint>
#include <string>

#include "rsa_key.h"

namespace usbkey {

struct CertificateRequest {
  std::string commonName;    // subject and issuer CN, UTF-8
  std::string organisation;  // subject and issuer O, UTF-8
  std::string serialNumber;  // unsigned big-endian magnitude, at most 20 bytes
  int64_t notBefore = 0;     // seconds since 1970, UTC
  int64_t notAfter = 0;
};

// DER, or empty when the key cannot sign.
std::string SelfSignedCertificate(const CertificateRequest& request, const RsaKey& key);

// "-----BEGIN CERTIFICATE-----", Base64 of the DER in lines of 64 characters, the end line;
// every line ends in LF.
std::string CertificatePem(const std::string& der);

}  // namespace usbkey
