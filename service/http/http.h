// HTTP front of the service: the server class, the handler table, the per-request dispatch,
// the parameter reader, the one reply envelope and Base64. Requests are served strictly one at
// a time on the thread that drives PollOnce.
//
// What a route handler sees of a request is small and C-like: the parameter text as an mg_str,
// the connection to queue its answer on, mg_printf and mg_get_http_var. Boost.Beast/Asio parse
// and carry the bytes below that.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

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

 private:
  std::string out_;
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

class Tarnwick {
 public:
  Tarnwick();
  ~Tarnwick();
  Tarnwick(const Tarnwick&) = delete;
  Tarnwick& operator=(const Tarnwick&) = delete;

  void Init(std::string port);
  // The first registration of a route wins.
  void AddHandler(std::string route, RouteHandler handler);
  // Opens the listener on 0.0.0.0 at the port text; false when that fails.
  bool Start();
  // One poll pass: serves whatever arrives, for at most `passMs`, returning early after
  // Interrupt().
  void PollOnce(unsigned passMs = kPollPassMs);
  // Closes the listener and every connection.
  bool Close();

  // Thread-safe: makes the current or the next poll pass return at once.
  void Interrupt();

  // The port actually bound (useful with port text "0"); 0 before Start.
  uint16_t BoundPort() const;
  const std::string& Port() const { return port_; }

  static constexpr unsigned kPollPassMs = 1000;

 private:
  struct Impl;
  std::string port_;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> interrupted_{false};
};
