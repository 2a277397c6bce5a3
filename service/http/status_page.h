// The service's own pages for the people who look after it: "/" (a status page for the staff at
// the counter, in English and Chinese) and "/metrics" (Prometheus text for a fleet's
// monitoring). Both run on the I/O thread and read only what the service already recorded; they
// never call a device library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "http.h"

namespace status_page {

// Set during start-up: where the service listens, and who besides loopback clients may read
// /metrics (addresses or networks, "10.1.2.3", "10.0.0.0/8", "fd00::/8").
struct Settings {
  std::string listenAddress;  // as bound ("0.0.0.0": every IPv4 interface)
  std::string port;
  std::vector<std::string> metricsFrom;
};
void SetSettings(Settings settings);

bool IsLoopback(std::string_view peer);
// Whether `peer` is the address `entry` names, or lies in the network it names.
bool AddressMatches(std::string_view peer, std::string_view entry);
// Loopback, or in one of `from`.
bool MetricsAllowed(std::string_view peer, const std::vector<std::string>& from);
// Whether the request may see the log and switch the DEBUG log: a loopback client, reaching the
// service by an IP literal or "localhost" (not by a name that may have been rebound), and not a
// page of another site (Sec-Fetch-Site, Origin).
bool LocalStaff(const mg_connection* c);

std::string HtmlEscape(std::string_view text);
// The last `count` lines of the log file and its rolled predecessors, oldest first.
std::vector<std::string> LogTail(const std::string& fileName, size_t count);

}  // namespace status_page

bool handle_Local_Status(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Local_Metrics(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
