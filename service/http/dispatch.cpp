#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "device_status.h"
#include "http.h"
#include "json.h"
#include "metrics.h"

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

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

bool SameNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && StartsWithNoCase(a, b); }

std::string_view View(const mg_str* s) {
  return s != nullptr && s->p != nullptr ? std::string_view(s->p, s->len) : std::string_view();
}

AccessPolicy& Policy() {
  static AccessPolicy policy;
  return policy;
}

// The host of an origin ("https://host:port" -> "host").
std::string_view OriginHost(std::string_view origin) {
  const size_t scheme = origin.find("://");
  if (scheme != std::string_view::npos) origin.remove_prefix(scheme + 3);
  if (!origin.empty() && origin.front() == '[') return origin.substr(0, origin.find(']') + 1);
  return origin.substr(0, origin.find(':'));
}

// Dotted IPv4: four decimal numbers up to 255. (The system's parser would also take "127.1";
// a browser sends the dotted form.)
bool IsIpv4(std::string_view text) {
  int parts = 0;
  while (true) {
    size_t digits = 0;
    unsigned value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 3) {
      value = value * 10 + static_cast<unsigned>(text[digits] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
    text.remove_prefix(digits);
    if (++parts == 4) return text.empty();
    if (text.empty() || text.front() != '.') return false;
    text.remove_prefix(1);
  }
}

// IPv6 text: up to eight groups of one to four hex digits, one "::" standing for the groups left
// out, and optionally dotted IPv4 for the last two.
bool IsIpv6(std::string_view text) {
  int groups = 0;
  bool gap = false;
  if (text.substr(0, 2) == "::") {
    gap = true;
    text.remove_prefix(2);
  } else if (!text.empty() && text.front() == ':') {
    return false;
  }
  while (!text.empty()) {
    size_t digits = 0;
    while (digits < text.size() && std::isxdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits < text.size() && text[digits] == '.') {
      if (!IsIpv4(text)) return false;
      groups += 2;
      text = {};
      break;
    }
    if (digits == 0 || digits > 4) return false;
    ++groups;
    text.remove_prefix(digits);
    if (text.empty()) break;
    if (text.substr(0, 2) == "::") {
      if (gap) return false;
      gap = true;
      text.remove_prefix(2);
    } else if (text.front() == ':') {
      text.remove_prefix(1);
      if (text.empty()) return false;
    } else {
      return false;
    }
  }
  return gap ? groups <= 7 : groups == 8;
}

// A literal no DNS answer can stand for: dotted IPv4, or IPv6 in brackets.
bool IsIpLiteral(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return IsIpv6(host.substr(1, host.size() - 2));
  return IsIpv4(host);
}

// A name the service may be reached by from a page: an IP literal, localhost, or the host of an
// allowed origin. Any other name may be an attacker's that now resolves to this machine.
bool HostAllowed(std::string_view hostHeader) {
  std::string_view host = hostHeader;
  if (!host.empty() && host.front() == '[') {
    host = host.substr(0, host.find(']') + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  if (host.empty()) return false;
  if (IsIpLiteral(host) || SameNoCase(host, "localhost")) return true;
  for (const std::string& origin : Policy().allowedOrigins) {
    if (SameNoCase(OriginHost(origin), host)) return true;
  }
  return false;
}

bool OriginAllowed(std::string_view origin) {
  for (const std::string& allowed : Policy().allowedOrigins) {
    if (SameNoCase(allowed, origin)) return true;
  }
  return false;
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

// A request the access policy turns away: the not-found answer without any CORS grant, so the
// page that asked cannot read it.
void SendRefusal(mg_connection* c, const http_message* hm) {
  if (Equals(hm->method, "OPTIONS")) {
    static const char kRefusedPreflight[] = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    c->Append(kRefusedPreflight, sizeof kRefusedPreflight - 1);
    return;
  }
  std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\nContent-Length: " +
      std::to_string(NotFoundAnswer().size()) + "\n\n";
  // A body after the head of a HEAD answer would be read as the start of the next answer.
  if (!Equals(hm->method, "HEAD")) answer += NotFoundAnswer() + "\n";
  c->Append(answer.data(), answer.size());
}

// Routes whose GET only reads the service's own state. A HEAD of any other route would run a
// device handler (write a card, start a program) for an answer it then throws away.
bool HeadMayRun(std::string_view path) { return path == "/Local/GetVersion" || path == "/test"; }

void SendHeadNotAllowed(mg_connection* c) {
  static const char kNotAllowed[] =
      "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, POST, OPTIONS\r\nAccess-Control-Allow-Origin: *\r\n"
      "Content-Length: 0\r\n\r\n";
  c->Append(kNotAllowed, sizeof kNotAllowed - 1);
}

// The envelope around the length and around the body, cut once out of kReplyEnvelope.
struct EnvelopeParts {
  std::string_view beforeLength, afterLength;
  EnvelopeParts() {
    const std::string_view e(kReplyEnvelope);
    const size_t length = e.find("%d");
    const size_t body = e.find("%s");
    beforeLength = e.substr(0, length);
    afterLength = e.substr(length + 2, body - length - 2);
  }
};

}  // namespace

std::unordered_map<std::string, RouteHandler>& HandlerTable() {
  static std::unordered_map<std::string, RouteHandler> table;
  return table;
}

std::map<std::string, Family, std::less<>>& RouteFamilies() {
  static std::map<std::string, Family, std::less<>> families;
  return families;
}

const char* FamilyName(Family family) {
  static constexpr const char* kNames[kFamilyCount] = {"local", "idcard", "terminal", "usbkey", "signature"};
  return kNames[static_cast<size_t>(family)];
}

Family FamilyOf(std::string_view path) {
  const auto& families = RouteFamilies();
  const auto it = families.find(path);
  return it == families.end() ? Family::Local : it->second;
}

void SetAccessPolicy(AccessPolicy policy) { Policy() = std::move(policy); }

// With an allow-list, a request is served only when its Host is one the service answers to and
// it comes from a listed page, from the user, or from a program. A browser marks every request
// with Sec-Fetch-Site but leaves Origin out of no-cors GET and HEAD (an <img>, a <script>, a
// navigation): without Origin, only the user's own navigation ("none") is the user's. Programs
// send neither header.
bool Admitted(const http_message* hm) {
  if (Policy().allowedOrigins.empty()) return true;
  if (!HostAllowed(View(mg_get_http_header(hm, "Host")))) return false;
  if (const mg_str* origin = mg_get_http_header(hm, "Origin")) return OriginAllowed(View(origin));
  const mg_str* site = mg_get_http_header(hm, "Sec-Fetch-Site");
  return site == nullptr || EqualsNoCase(*site, "none");
}

const AccessPolicy& CurrentAccessPolicy() { return Policy(); }

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
  // The envelope's own bytes around the length and the body; the body goes in as bytes, not
  // through %s, so a NUL inside a value cannot cut the answer short of its Content-Length.
  static const EnvelopeParts parts;
  char length[24];
  const auto end = std::to_chars(length, length + sizeof length, text.size()).ptr;
  std::string& out = c->Pending();
  out.reserve(out.size() + parts.beforeLength.size() + 24 + parts.afterLength.size() + text.size() + 1);
  out.append(parts.beforeLength).append(length, end).append(parts.afterLength).append(text).push_back('\n');
}

void DispatchRequest(mg_connection* c, int event, void* eventData) {
  if (event != MG_EV_HTTP_REQUEST || eventData == nullptr) return;
  const auto* hm = static_cast<const http_message*>(eventData);
  if (!Admitted(hm)) {
    metrics::NoteDispatch(Family::Local, metrics::Outcome::Refused);
    metrics::CountRefusal(metrics::Refusal::Origin);
    return SendRefusal(c, hm);
  }
  const bool post = Equals(hm->method, "POST");
  if (post || Equals(hm->method, "GET")) {
    std::string path = ToString(hm->uri);
    auto& table = HandlerTable();
    auto it = table.find(path);
    if (it == table.end()) {
      metrics::NoteDispatch(Family::Local, metrics::Outcome::NotFound);
      return SendNotFound(c);
    }
    const auto found = RouteFamilies().find(path);
    const Family family = found == RouteFamilies().end() ? Family::Local : found->second;
    metrics::NoteDispatch(family, metrics::Outcome::Ok);
    const mg_str* params = post ? &hm->body : &hm->query_string;
    struct Serving {
      mg_connection* c;
      ~Serving() { c->SetRequest(nullptr); }
    } serving{c};
    c->SetRequest(hm);
    const size_t before = c->Pending().size();
    // The handler takes the path; the table's own key names the route afterwards.
    const std::string& route = it->first;
    it->second(std::move(path), params, c, SendReply);
    // What the device said, read off the answer's body (after the head's blank line). The
    // service's own routes have no device to speak of.
    if (family == Family::Local) return;
    std::string_view answer = std::string_view(c->Pending()).substr(before);
    const size_t body = answer.find("\n\n");
    if (body != std::string_view::npos) answer.remove_prefix(body + 2);
    if (!answer.empty() && answer.back() == '\n') answer.remove_suffix(1);  // the envelope's, not the body's
    if (!device_status::Observe(route, answer)) {
      metrics::NoteDeviceError();
    }
    return;
  }
  if (Equals(hm->method, "OPTIONS")) {
    metrics::NoteDispatch(Family::Local, metrics::Outcome::Preflight);
    return SendPreflight(c, hm);
  }
  if (Equals(hm->method, "HEAD")) {
    metrics::NoteDispatch(Family::Local, metrics::Outcome::NotAllowed);
    // The head of the answer a GET of the same target gets, its Content-Length included, for the
    // routes that change nothing and for unknown paths; a HEAD answer carries no body.
    const std::string_view path = View(&hm->uri);
    if (HandlerTable().count(std::string(path)) != 0 && !HeadMayRun(path)) return SendHeadNotAllowed(c);
    http_message get = *hm;
    get.method = {"GET", 3};
    mg_connection scratch;
    DispatchRequest(&scratch, MG_EV_HTTP_REQUEST, &get);
    const std::string& answer = scratch.Pending();
    const size_t end = answer.find("\n\n");
    c->Append(answer.data(), end == std::string::npos ? answer.size() : end + 2);
    return;
  }
  metrics::NoteDispatch(Family::Local, metrics::Outcome::NotFound);
  SendNotFound(c);
}
