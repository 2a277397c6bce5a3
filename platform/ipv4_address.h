// What both backends' socket code builds the same way. Included by each net.cpp after its own
// socket headers, which declare sockaddr_in, htonl and htons.
#pragma once

#include <cstdint>

namespace platform {

// `host` (INADDR_ANY, INADDR_LOOPBACK, ...) and `port` in host order.
inline sockaddr_in Ipv4Address(uint32_t host, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(host);
  addr.sin_port = htons(port);
  return addr;
}

}  // namespace platform
