// HTTP front of the service: the server class, the handler table, the per-request dispatch,
// the parameter reader, the one reply envelope and Base64. Requests are served strictly one at
// a time on the thread that drives PollOnce.
//
// What a route handler sees of a request is small and C-like: the parameter text as an mg_str,
// the connection to queue its answer on, mg_printf and mg_get_http_var. Boost.Beast/Asio parse
// and carry the bytes below that.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace events {
class Stream;
}

struct mg_str {
  const char* p = nullptr;
  size_t len = 0;
};

constexpr int MG_EV_HTTP_REQUEST = 100;
constexpr int MG_MAX_HTTP_HEADERS = 40;

struct http_message {
  mg_str method;
  mg_str uri;           // path of the request line, without "?" and query, not decoded
  mg_str query_string;  // after "?", not decoded; empty when there is none
  mg_str body;
  mg_str header_names[MG_MAX_HTTP_HEADERS];
  mg_str header_values[MG_MAX_HTTP_HEADERS];
};

// A value of the named header (case-insensitive name), or null.
const mg_str* mg_get_http_header(const http_message* hm, const char* name);

// One client connection. Handlers only queue bytes on it; the server sends them once the
// handler has returned.
class mg_connection {
 public:
  void Append(const char* data, size_t size) { out_.append(data, size); }
  std::string& Pending() { return out_; }
  // The request whose handler runs now (null outside a handler): its headers, for the few routes
  // that must know who asks.
  const http_message* Request() const { return request_; }
  void SetRequest(const http_message* request) { request_ = request; }
  // The client's address as text ("127.0.0.1", "::1"); empty when unknown.
  const std::string& Peer() const { return peer_; }
  void SetPeer(std::string peer) { peer_ = std::move(peer); }
  // A handler that answers with an event stream leaves it here with the answer's head: the
  // connection then stays open and carries the stream's events.
  void SetStream(std::shared_ptr<events::Stream> stream) { stream_ = std::move(stream); }
  std::shared_ptr<events::Stream> TakeStream() { return std::move(stream_); }

 private:
  std::string out_;
  std::string peer_;
  std::shared_ptr<events::Stream> stream_;
  const http_message* request_ = nullptr;
};

// printf-style output onto the connection; no size limit. Returns the bytes queued.
int mg_printf(mg_connection* c, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Reads a form parameter: name matched without regard to case at the start of the text or
// right after "&", value URL-decoded ("+" is a blank, a malformed escape is kept as it is),
// cut to dstLen-1 bytes and NUL-terminated. Returns the length written, -1 when the parameter
// is missing (dst then holds ""), -2 when dst is null or dstLen is 0.
int mg_get_http_var(const mg_str* buf, const char* name, char* dst, size_t dstLen);
// A number parameter: read as above into a zero-filled buffer of `bufferSize` bytes, then taken
// with atoi, so a missing or non-numeric value reads as 0.
int IntParam(const mg_str* params, const char* name, size_t bufferSize = 20);

using ReplySender = void (*)(mg_connection* c, std::string text);
using RouteHandler = std::function<bool(std::string url, const mg_str* params, mg_connection* c, ReplySender reply)>;

// Exact reply envelope: the status line ends in CR LF, every header line in a bare LF; one LF
// follows the body and is not counted in Content-Length.
inline constexpr const char kReplyEnvelope[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\n"
    "Content-Length: %d\nAccess-Control-Allow-Origin: *\n\n%s\n";

void SendReply(mg_connection* c, std::string text);
void DispatchRequest(mg_connection* c, int event, void* eventData);
std::string Base64Encode(const unsigned char* data, int length);

// The one handler table, keyed by the exact path; filled during start-up.
std::unordered_map<std::string, RouteHandler>& HandlerTable();

// Who serves a route. The service's own routes answer on the I/O thread; each device family's
// handlers run in arrival order on a thread of that family's own, so a slow device stalls only
// its own family and a vendor library sees one call at a time, always from the same thread.
enum class Family { Local, IdCard, Terminal, UsbKey, Signature };
inline constexpr size_t kFamilyCount = 5;
// "local", "idcard", "terminal", "usbkey", "signature".
const char* FamilyName(Family family);
// The family a path was registered with; Local for every other path.
Family FamilyOf(std::string_view path);
std::map<std::string, Family, std::less<>>& RouteFamilies();

// Who may use the service from a page. With an empty allow-list (the default) every origin may.
// With one, a request whose Origin is not on it, or whose Host is neither an IP literal,
// "localhost" nor the host of an allowed origin (a DNS-rebinding attempt), gets the not-found
// answer without any CORS grant, and its preflight a 403. Origins are compared without regard to
// case, as "scheme://host[:port]". Set during start-up, read by the dispatch.
struct AccessPolicy {
  std::vector<std::string> allowedOrigins;
};
void SetAccessPolicy(AccessPolicy policy);
// Whether the policy lets this request be served.
bool Admitted(const http_message* hm);
const AccessPolicy& CurrentAccessPolicy();

class Tarnwick {
 public:
  Tarnwick();
  ~Tarnwick();
  Tarnwick(const Tarnwick&) = delete;
  Tarnwick& operator=(const Tarnwick&) = delete;

  void Init(std::string port);
  // The address to listen on; every IPv4 interface unless set ("127.0.0.1": loopback only).
  void SetListenAddress(std::string address);
  // The first registration of a route wins.
  void AddHandler(std::string route, RouteHandler handler, Family family = Family::Local);
  // Opens the listener at the port text; false when that fails.
  bool Start();
  // Why the last Start failed. An unusable address (not an IP address, or not one of this
  // machine's) fails on every port alike; anything else (the port is taken) may pass on another.
  enum class StartFailure { None, BadPort, UnusableAddress, Other };
  StartFailure LastStartFailure() const { return startFailure_; }
  // The system's words for the last failure.
  const std::string& LastStartError() const { return startError_; }
  // One poll pass: serves whatever arrives, for at most `passMs`, returning early after
  // Interrupt(). Nothing wakes an idle pass but a request or Interrupt().
  void PollOnce(unsigned passMs = kPollPassMs);
  // Closes the listener and every connection; no request is dispatched from here on. Waits up
  // to the stop bound for handlers that run; false when one still runs after it (the server's
  // state is then left to it rather than freed under it).
  bool Close();

  // Thread-safe: makes the current or the next poll pass return at once.
  void Interrupt();

  // The port actually bound (useful with port text "0"); 0 before Start.
  uint16_t BoundPort() const;
  // The address actually listened on ("0.0.0.0": every IPv4 interface); empty before Start.
  std::string BoundAddress() const;
  const std::string& Port() const { return port_; }

  // An idle service should not wake: a stop interrupts the pass, requests wake it.
  static constexpr unsigned kPollPassMs = 3600 * 1000;

  // What one server holds at most. Past the connection limit the least recently active
  // connection makes way for a new one; bodies still arriving share one memory budget.
  struct Limits {
    size_t connections = 256;
    size_t bodyBudgetBytes = 64 * 1024 * 1024;
    // Requests waiting for a device family's lane; past it a request gets 503 at once.
    size_t laneQueue = 64;
    // How long Close waits for handlers that still run.
    std::chrono::milliseconds stopWait{5000};
  };
  void SetLimits(const Limits& limits);
  // Bytes now held by request bodies still arriving, and the open connections.
  size_t BodyBytesHeld() const;
  size_t Connections() const;
  // Requests waiting for a device family's lane, not counting the one it serves.
  size_t Waiting(Family family) const;
  // Queues `job` on a device family's lane behind the requests already there, for work the
  // service does for itself (polling a reader while a page listens). Thread-safe while the server
  // runs; false when the queue is full, the family has no lane, or the server is not running.
  bool RunOnLane(Family family, std::function<void()> job);

 private:
  struct Impl;
  std::string port_;
  std::string address_;
  Limits limits_;
  StartFailure startFailure_ = StartFailure::None;
  std::string startError_;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> interrupted_{false};
};

// One parsed request through the dispatch, as a server session serves it; the answer bytes are
// queued on `c`. A handler that throws, or answers nothing, leaves `c` empty: the caller then
// ends the connection. For the server and for fuzzing.
struct ParsedRequest {
  std::string_view method, target, body;
  // The first MG_MAX_HTTP_HEADERS header fields, as the handlers see them.
  std::array<std::pair<std::string_view, std::string_view>, MG_MAX_HTTP_HEADERS> headers;
  size_t headerCount = 0;
};
void ServeRequest(const ParsedRequest& request, mg_connection* c);
// The answers to `bytes` arriving on one connection: each complete request parsed with the
// server's own parser and limits, then served; it stops where the server would end the
// connection or wait for more. For fuzzing.
struct ServedAnswer {
  bool head;  // the answer to a HEAD request, which carries no body
  std::string bytes;
};
std::vector<ServedAnswer> ServeBytes(std::string_view bytes);
