// The service's routes on a port the system chooses, polled on a thread of their own: what the
// route tests talk to over real HTTP.
#pragma once

#include <cstdint>
#include <optional>

#include "host/host.h"
#include "http/http.h"
#include "raw_client.h"

namespace test {

class RouteServer {
 public:
  RouteServer() {
    server_.Init("0");
    RegisterRoutes(server_);
    if (server_.Start()) polling_.emplace(server_);
  }
  ~RouteServer() {
    polling_.reset();
    server_.Close();
  }
  RouteServer(const RouteServer&) = delete;
  RouteServer& operator=(const RouteServer&) = delete;

  bool Started() const { return polling_.has_value(); }
  uint16_t Port() const { return server_.BoundPort(); }

 private:
  Tarnwick server_;
  std::optional<PollingThread> polling_;
};

}  // namespace test
