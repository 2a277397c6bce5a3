#include "event_routes.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "events.h"

namespace {

// An event stream has no length; it ends when either side closes. Proxies must pass each event
// on at once rather than buffer it.
constexpr char kStreamHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Access-Control-Allow-Origin: *\r\nX-Accel-Buffering: no\r\n\r\n";
// Every stream slot taken: come back later. A browser's EventSource does not retry after this,
// the client library does.
constexpr char kTooManyStreams[] =
    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 5\r\nAccess-Control-Allow-Origin: *\r\n"
    "Content-Length: 0\r\n\r\n";

// A whole decimal number in range, else `fallback`.
unsigned long long Number(const char* text, unsigned long long fallback) {
  if (*text < '0' || *text > '9') return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return *end == '\0' ? value : fallback;
}

uint64_t LastEventId(const mg_str* params, const http_message* hm) {
  char text[24] = {};
  if (const mg_str* header = hm != nullptr ? mg_get_http_header(hm, "Last-Event-ID") : nullptr) {
    const size_t n = std::min(header->len, sizeof text - 1);
    std::copy(header->p, header->p + n, text);
    if (header->len < sizeof text) return Number(text, 0);
    return 0;
  }
  return mg_get_http_var(params, "lastEventId", text, sizeof text) > 0 ? Number(text, 0) : 0;
}

}  // namespace

bool handle_Local_Events(std::string, const mg_str* params, mg_connection* c, ReplySender) {
  events::Request request;
  char text[256] = {};
  if (mg_get_http_var(params, "topics", text, sizeof text) > 0) request.topics = events::ParseTopics(text);
  if (mg_get_http_var(params, "period", text, sizeof text) > 0) {
    const unsigned long long period = Number(text, events::kDefaultPeriodMs);
    request.periodMs = static_cast<unsigned>(
        std::min<unsigned long long>(std::max<unsigned long long>(period, events::kMinPeriodMs), events::kMaxPeriodMs));
  }
  if (mg_get_http_var(params, "port", text, sizeof text) > 0) {
    // The reader ports: serial 1 to 16, USB 1001 to 1016.
    const unsigned long long port = Number(text, 0);
    if ((port >= 1 && port <= 16) || (port >= 1001 && port <= 1016)) request.cardPort = static_cast<int>(port);
  }
  request.lastEventId = LastEventId(params, c->Request());
  std::shared_ptr<events::Stream> stream = events::Open(request);
  if (!stream) {
    c->Append(kTooManyStreams, sizeof kTooManyStreams - 1);
    return true;
  }
  c->Append(kStreamHead, sizeof kStreamHead - 1);
  c->SetStream(std::move(stream));
  return true;
}
