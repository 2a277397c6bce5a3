#include "status_page.h"

#include <boost/asio/ip/address.hpp>

#include <array>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

#include "device_status.h"
#include "json.h"
#include "metrics.h"
#include "platform/memory.h"
#include "platform/version.h"
#include "tw/log.h"
#include "tw/log_file.h"

namespace status_page {
namespace {

constexpr size_t kLogLines = 200;

std::mutex g_settingsMutex;
Settings g_settings;

Settings CurrentSettings() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  return g_settings;
}

std::string_view Header(const mg_connection* c, const char* name) {
  const http_message* hm = c->Request();
  if (hm == nullptr) return {};
  const mg_str* v = mg_get_http_header(hm, name);
  return v != nullptr && v->p != nullptr ? std::string_view(v->p, v->len) : std::string_view();
}

bool HasHeader(const mg_connection* c, const char* name) {
  return c->Request() != nullptr && mg_get_http_header(c->Request(), name) != nullptr;
}

bool SameNoCase(std::string_view a, std::string_view b);

// A request a web page made rather than the user or a program: scrapers send neither header; a
// browser marks every request with Sec-Fetch-Site, "none" only for the user's own navigation.
bool FromOtherPage(const mg_connection* c) {
  if (HasHeader(c, "Origin")) return true;
  return HasHeader(c, "Sec-Fetch-Site") && !SameNoCase(Header(c, "Sec-Fetch-Site"), "none");
}

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The address as bytes, a v4-mapped IPv6 address as its IPv4 one; false when it is none.
bool AddressBytes(std::string_view text, std::array<unsigned char, 16>& bytes, size_t& size) {
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(std::string(text), ec);
  if (ec) return false;
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    const auto v4 = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6()).to_bytes();
    std::copy(v4.begin(), v4.end(), bytes.begin());
    size = 4;
  } else if (address.is_v4()) {
    const auto v4 = address.to_v4().to_bytes();
    std::copy(v4.begin(), v4.end(), bytes.begin());
    size = 4;
  } else {
    const auto v6 = address.to_v6().to_bytes();
    std::copy(v6.begin(), v6.end(), bytes.begin());
    size = 16;
  }
  return true;
}

// The host part of a Host header, without port and brackets.
std::string_view HostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const size_t end = host.find(']');
    return end == std::string_view::npos ? std::string_view() : host.substr(1, end - 1);
  }
  return host.substr(0, host.find(':'));
}

bool HostIsLocalName(std::string_view host) {
  const std::string_view name = HostName(host);
  if (SameNoCase(name, "localhost")) return true;
  std::array<unsigned char, 16> bytes{};
  size_t size = 0;
  return !name.empty() && AddressBytes(name, bytes, size);
}

std::string TimeText(int64_t seconds) {
  if (seconds == 0) return "-";
  static std::mutex mutex;  // localtime's result is shared
  std::lock_guard<std::mutex> lock(mutex);
  const std::time_t t = static_cast<std::time_t>(seconds);
  const std::tm* tm = std::localtime(&t);
  char text[32] = "-";
  if (tm != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", tm);
  return text;
}

std::string Duration(double seconds) {
  const long long s = static_cast<long long>(seconds);
  char text[48];
  std::snprintf(text, sizeof text, "%lldd %02lld:%02lld:%02lld", s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
  return text;
}

std::string ListText(const std::vector<std::string>& list, const char* none) {
  if (list.empty()) return none;
  std::string out;
  for (const std::string& item : list) out += (out.empty() ? "" : ", ") + item;
  return out;
}

void SendPage(mg_connection* c, const char* status, const char* type, const std::string& body,
              const char* extraHeaders = "") {
  // No CORS grant: another site's page must not read what the service says about itself.
  std::string head = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                     "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" + extraHeaders +
                     "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  c->Append(head.data(), head.size());
  c->Append(body.data(), body.size());
}

void SendNotFound(mg_connection* c, ReplySender reply) { reply(c, json::Object().Add("return", false).Text()); }

const char* PresenceText(device_status::Presence p) {
  switch (p) {
    case device_status::Presence::Present:
      return "<span class=ok>present / 已连接</span>";
    case device_status::Presence::Absent:
      return "<span class=bad>missing / 未连接</span>";
    default:
      return "<span class=unknown>not used yet / 尚未使用</span>";
  }
}

const char* FamilyTitle(Family f) {
  switch (f) {
    case Family::IdCard:
      return "ID-card reader / 身份证阅读器";
    case Family::Terminal:
      return "Card terminal / 驾培卡终端";
    case Family::UsbKey:
      return "USB key / USB 密钥";
    case Family::Signature:
      return "Signature pad / 签名板";
    default:
      return "Service / 服务";
  }
}

std::string Row(const char* label, const std::string& value) {
  return std::string("<tr><th>") + label + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
}

std::string PageHtml(const mg_connection* c) {
  const Settings settings = CurrentSettings();
  const metrics::Snapshot counts = metrics::Take();
  const std::string version = platform::ProgramFileVersion().value_or("unknown");
  const double now = static_cast<double>(std::time(nullptr));
  const bool staff = LocalStaff(c);
  const bool debug = tw::log::MaxSeverity() >= tw::log::Severity::Debug;

  std::string h;
  h.reserve(64 * 1024);
  h += "<!doctype html>\n<html lang=en><head><meta charset=utf-8><title>Tarnwick status / 状态</title>\n"
       "<meta name=viewport content=\"width=device-width\">\n<style>\n"
       "body{font:14px sans-serif;margin:16px;color:#222}h1{font-size:20px}h2{font-size:16px;margin-top:20px}\n"
       "table{border-collapse:collapse}th,td{border:1px solid #bbb;padding:4px 8px;text-align:left;"
       "vertical-align:top}th{background:#f0f0f0;font-weight:normal}\n"
       ".ok{color:#060}.bad{color:#b00;font-weight:bold}.unknown{color:#777}\n"
       "pre{background:#f6f6f6;padding:8px;font-size:12px;white-space:pre-wrap;word-break:break-all}\n"
       "</style></head><body>\n<h1>Tarnwick status / 服务状态</h1>\n<table>\n";
  h += Row("Version / 版本", version);
  h += Row("Build / 构建", version + ", " + std::to_string(sizeof(void*) * 8) + "-bit");
  h += Row("Started / 启动时间", TimeText(static_cast<int64_t>(metrics::StartTimeSeconds())) + " (up / 已运行 " +
                                     Duration(now - metrics::StartTimeSeconds()) + ")");
  h += Row("Listening on / 监听地址",
           (settings.listenAddress.find(':') != std::string::npos ? "[" + settings.listenAddress + "]"
                                                                  : settings.listenAddress) +
               ":" + settings.port);
  h += Row("ListenAddress", settings.listenAddress == "0.0.0.0" || settings.listenAddress.empty()
                                ? "(not set: every IPv4 interface / 未设置：所有 IPv4 接口)"
                                : settings.listenAddress);
  h += Row("AllowedOrigins",
           ListText(CurrentAccessPolicy().allowedOrigins, "(not set: every origin / 未设置：允许所有来源)"));
  h += Row("MetricsFrom", ListText(settings.metricsFrom, "(not set: loopback only / 未设置：仅本机)"));
  h += Row("Log level / 日志级别", debug ? "DEBUG" : "ERROR");
  h += Row("Open connections / 当前连接", std::to_string(counts.openConnections));
  h += Row("Resident memory / 内存", std::to_string(platform::ResidentBytes() / 1024) + " KiB");
  h += "</table>\n";

  h += "<h2>Devices / 设备</h2>\n<table>\n<tr><th>Family / 类别</th><th>Libraries / 库</th><th>Version / 版本</th>"
       "<th>Device / 设备</th><th>Last error / 最近错误</th><th>Requests ok / 成功</th>"
       "<th>Device errors / 设备错误</th><th>Other / 其他</th></tr>\n";
  for (size_t f = 0; f < kFamilyCount; ++f) {
    const Family family = static_cast<Family>(f);
    const device_status::State state = device_status::Get(family);
    uint64_t other = 0;
    for (size_t o = 0; o < metrics::kOutcomeCount; ++o) other += counts.requests[f][o];
    const uint64_t ok = counts.requests[f][static_cast<size_t>(metrics::Outcome::Ok)];
    const uint64_t failed = counts.requests[f][static_cast<size_t>(metrics::Outcome::DeviceError)];
    other -= ok + failed;
    h += std::string("<tr id=family-") + FamilyName(family) + "><td>" + FamilyTitle(family) + "</td><td>" +
         HtmlEscape(state.libraries[0] ? state.libraries : "-") + "</td><td>" +
         HtmlEscape(state.version[0] ? state.version : "-") + "</td><td>" +
         (family == Family::Local ? std::string("-") : PresenceText(state.presence)) + "</td><td>" +
         (state.lastErrorTime != 0 ? HtmlEscape(TimeText(state.lastErrorTime)) + "<br>" + HtmlEscape(state.lastError)
                                   : std::string("-")) +
         "</td><td>" + std::to_string(ok) + "</td><td>" + std::to_string(failed) + "</td><td>" + std::to_string(other) +
         "</td></tr>\n";
  }
  h += "</table>\n<h2>Refused / 拒绝的请求</h2>\n<table><tr>";
  for (size_t r = 0; r < metrics::kRefusalCount; ++r) {
    h += std::string("<th>") + metrics::RefusalName(static_cast<metrics::Refusal>(r)) + "</th>";
  }
  h += "</tr><tr>";
  for (size_t r = 0; r < metrics::kRefusalCount; ++r) h += "<td>" + std::to_string(counts.refusals[r]) + "</td>";
  h += "</tr></table>\n";

  if (staff) {
    h += "<h2>Log / 日志</h2>\n<form method=post action=\"/\" id=debug-switch><input type=hidden name=debug value=";
    h += debug ? "0" : "1";
    h += "><button type=submit>";
    h += debug ? "Switch DEBUG log off / 关闭调试日志" : "Switch DEBUG log on / 打开调试日志";
    h += "</button></form>\n<pre id=log>";
    for (const std::string& line : LogTail(tw::log::FileName(), kLogLines)) h += HtmlEscape(line) + "\n";
    h += "</pre>\n";
  } else {
    h += "<p class=unknown>The log and its switch are shown on this PC only / 日志仅在本机显示。</p>\n";
  }
  h += "</body></html>\n";
  return h;
}

}  // namespace

void SetSettings(Settings settings) {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  g_settings = std::move(settings);
}

bool IsLoopback(std::string_view peer) {
  std::array<unsigned char, 16> bytes{};
  size_t size = 0;
  if (!AddressBytes(peer, bytes, size)) return false;
  if (size == 4) return bytes[0] == 127;
  for (size_t i = 0; i < 15; ++i) {
    if (bytes[i] != 0) return false;
  }
  return bytes[15] == 1;
}

bool AddressMatches(std::string_view peer, std::string_view entry) {
  std::array<unsigned char, 16> p{}, e{};
  size_t pSize = 0, eSize = 0;
  const size_t slash = entry.find('/');
  if (!AddressBytes(peer, p, pSize) || !AddressBytes(entry.substr(0, slash), e, eSize) || pSize != eSize) return false;
  size_t bits = eSize * 8;
  if (slash != std::string_view::npos) {
    const std::string_view prefix = entry.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 3) return false;
    bits = 0;
    for (char ch : prefix) {
      if (ch < '0' || ch > '9') return false;
      bits = bits * 10 + static_cast<size_t>(ch - '0');
    }
    if (bits > eSize * 8) return false;
  }
  for (size_t i = 0; i < eSize && bits > 0; ++i) {
    const unsigned mask = bits >= 8 ? 0xffu : (0xffu << (8 - bits)) & 0xffu;
    if ((p[i] & mask) != (e[i] & mask)) return false;
    bits = bits >= 8 ? bits - 8 : 0;
  }
  return true;
}

bool MetricsAllowed(std::string_view peer, const std::vector<std::string>& from) {
  if (IsLoopback(peer)) return true;
  for (const std::string& entry : from) {
    if (AddressMatches(peer, entry)) return true;
  }
  return false;
}

bool LocalStaff(const mg_connection* c) {
  if (!IsLoopback(c->Peer()) || !HostIsLocalName(Header(c, "Host"))) return false;
  // A page of another site may frame, fetch or post to the service from this very PC.
  if (HasHeader(c, "Sec-Fetch-Site")) {
    const std::string_view site = Header(c, "Sec-Fetch-Site");
    if (!SameNoCase(site, "none") && !SameNoCase(site, "same-origin")) return false;
  }
  if (HasHeader(c, "Origin")) {
    const std::string_view origin = Header(c, "Origin");
    const std::string self = "http://" + std::string(Header(c, "Host"));
    if (!SameNoCase(origin, self)) return false;
  }
  return true;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(ch);
    }
  }
  return out;
}

std::vector<std::string> LogTail(const std::string& fileName, size_t count) {
  std::vector<std::string> newestFirst;
  if (fileName.empty() || count == 0) return {};
  // name.txt, then the rolled name.1.txt, name.2.txt, ... (newer to older).
  const size_t dot = fileName.rfind('.');
  const bool hasExtension = dot != std::string::npos && fileName.find_first_of("/\\", dot) == std::string::npos;
  const std::string stem = hasExtension ? fileName.substr(0, dot) : fileName;
  const std::string extension = hasExtension ? fileName.substr(dot) : std::string();
  for (size_t i = 0; i <= tw::log::kRolledFiles && newestFirst.size() < count; ++i) {
    const std::string name = i == 0 ? fileName : stem + "." + std::to_string(i) + extension;
    std::ifstream in(name, std::ios::binary);
    if (!in) break;
    std::ostringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find('\n', start);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(std::move(line));
      start = end + 1;
    }
    for (auto it = lines.rbegin(); it != lines.rend() && newestFirst.size() < count; ++it) newestFirst.push_back(*it);
  }
  return std::vector<std::string>(newestFirst.rbegin(), newestFirst.rend());
}

}  // namespace status_page

namespace {

constexpr char kPageSecurity[] =
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'\r\nX-Frame-Options: DENY\r\n"
    // Not no-referrer: under it the browser sends "Origin: null" with the switch's own POST.
    "Referrer-Policy: same-origin\r\n";

}  // namespace

bool handle_Local_Status(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  const http_message* hm = c->Request();
  const bool post = hm != nullptr && hm->method.len == 4 && std::string_view(hm->method.p, 4) == "POST";
  if (post) {
    // The DEBUG switch: for the staff at this PC only, never for another site's form.
    char value[4] = {0};
    if (!status_page::LocalStaff(c) || mg_get_http_var(params, "debug", value, sizeof value) < 0) {
      status_page::SendNotFound(c, reply);
      return false;
    }
    tw::log::SetMaxSeverity(value[0] == '1' ? tw::log::Severity::Debug : tw::log::Severity::Error);
    // Back to the page with a GET, so that a reload does not post again.
    status_page::SendPage(c, "303 See Other", "text/plain; charset=utf-8", "", "Location: /\r\n");
    return true;
  }
  // A page that reached the service under a name of its own (a DNS name rebound to this PC) reads
  // it as same-origin: refused, while a person who types a counter's name still gets the page.
  if (!status_page::HostIsLocalName(status_page::Header(c, "Host")) && status_page::FromOtherPage(c)) {
    status_page::SendNotFound(c, reply);
    return false;
  }
  status_page::SendPage(c, "200 OK", "text/html; charset=utf-8", status_page::PageHtml(c), kPageSecurity);
  return true;
}

bool handle_Local_Metrics(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  if (!status_page::MetricsAllowed(c->Peer(), status_page::CurrentSettings().metricsFrom) ||
      status_page::FromOtherPage(c)) {
    status_page::SendNotFound(c, reply);
    return false;
  }
  status_page::SendPage(c, "200 OK", "text/plain; version=0.0.4; charset=utf-8",
                        metrics::RenderPrometheus(platform::ProgramFileVersion().value_or("unknown")));
  return true;
}
