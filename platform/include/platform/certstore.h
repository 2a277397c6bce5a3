// The user's personal certificate store ("MY"), where a cryptographic provider's certificates
// are published so that applications find them with the provider and container that hold the
// private key. Windows: crypt32. Linux has no such store: the call fails. Blocks on the store;
// thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Adds (or replaces) the DER certificate and ties it to the key: provider name, provider type,
// container and key kind (1 exchange, 2 signature). false when the store or the certificate
// cannot be used.
bool PublishUserCertificate(const std::string& der, const std::string& provider, uint32_t providerType,
                            const std::string& container, uint32_t keyKind);

}  // namespace platform
