#include "platform/certstore.h"

namespace platform {

bool PublishUserCertificate(const std::string&, const std::string&, uint32_t, const std::string&, uint32_t) {
  return false;
}

}  // namespace platform
