#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "http.h"
#include "json.h"

namespace {

bool Equals(const mg_str& s, const char* text) {
  const size_t n = std::strlen(text);
  return s.len == n && std::memcmp(s.p, text, n) == 0;
}

bool EqualsNoCase(const mg_str& s, const char* text) {
  const size_t n = std::strlen(text);
  if (s.len != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char a = s.p[i], b = text[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

std::string ToString(const mg_str& s) { return s.p ? std::string(s.p, s.len) : std::string(); }

// Header values come from the parser, which refuses CR and LF; stripping them again keeps an
// echoed value from ever splitting the answer.
std::string HeaderSafe(const mg_str* v) {
  std::string out;
  if (v == nullptr) return out;
  for (size_t i = 0; i < v->len; ++i) {
    if (v->p[i] != '\r' && v->p[i] != '\n') out.push_back(v->p[i]);
  }
  return out;
}

void SendPreflight(mg_connection* c, const http_message* hm) {
  std::string head =
      "HTTP/1.1 200 OK\r\n"
      "Access-Control-Allow-Origin: *\r\n"
      "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n";
  if (const mg_str* h = mg_get_http_header(hm, "Access-Control-Request-Headers")) {
    head += "Access-Control-Allow-Headers: " + HeaderSafe(h) + "\r\n";
  }
  if (const mg_str* pn = mg_get_http_header(hm, "Access-Control-Request-Private-Network")) {
    if (EqualsNoCase(*pn, "true")) head += "Access-Control-Allow-Private-Network: true\r\n";
  }
  head += "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\n\r\n";
  c->Append(head.data(), head.size());
}

const std::string& NotFoundAnswer() {
  static const std::string answer = json::Object().Add("return", false).Text();
  return answer;
}

void SendNotFound(mg_connection* c) { SendReply(c, NotFoundAnswer()); }

}  // namespace

std::unordered_map<std::string, RouteHandler>& HandlerTable() {
  static std::unordered_map<std::string, RouteHandler> table;
  return table;
}

const mg_str* mg_get_http_header(const http_message* hm, const char* name) {
  for (int i = 0; i < MG_MAX_HTTP_HEADERS && hm->header_names[i].p != nullptr; ++i) {
    if (EqualsNoCase(hm->header_names[i], name)) return &hm->header_values[i];
  }
  return nullptr;
}

int mg_printf(mg_connection* c, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  char small[1024];
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(ap2);
    return 0;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    c->Append(small, static_cast<size_t>(n));
  } else {
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, ap2);
    c->Append(big.data(), static_cast<size_t>(n));
  }
  va_end(ap2);
  return n;
}

void SendReply(mg_connection* c, std::string text) {
  // The body goes in as bytes, not through %s, so a NUL inside a value cannot cut the answer
  // short of its Content-Length.
  static const char* kBodyMark = std::strstr(kReplyEnvelope, "%s");
  const std::string head(kReplyEnvelope, static_cast<size_t>(kBodyMark - kReplyEnvelope));
  mg_printf(c, head.c_str(), static_cast<int>(text.size()));
  c->Append(text.data(), text.size());
  c->Append("\n", 1);
}

void DispatchRequest(mg_connection* c, int event, void* eventData) {
  if (event != MG_EV_HTTP_REQUEST || eventData == nullptr) return;
  const auto* hm = static_cast<const http_message*>(eventData);
  const std::string path = ToString(hm->uri);
  auto& table = HandlerTable();

  const bool post = Equals(hm->method, "POST");
  if (post || Equals(hm->method, "GET")) {
    auto it = table.find(path);
    if (it == table.end()) {
      SendNotFound(c);
      return;
    }
    const mg_str* params = post ? &hm->body : &hm->query_string;
    it->second(path, params, c, SendReply);
    return;
  }
  if (Equals(hm->method, "OPTIONS")) {
    SendPreflight(c, hm);
    return;
  }
  if (Equals(hm->method, "HEAD")) {
    // The answer other methods get, without its body: a HEAD answer must carry none.
    mg_printf(c,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\n"
              "Content-Length: %d\nAccess-Control-Allow-Origin: *\n\n",
              static_cast<int>(NotFoundAnswer().size()));
    return;
  }
  SendNotFound(c);
}
