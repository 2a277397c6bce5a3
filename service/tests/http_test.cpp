// The parts of the HTTP front that need no socket: Base64, the parameter rule, the envelope
// and the dispatch.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "http/http.h"
#include "http/json.h"
#include "http/local_routes.h"
#include "tw/log.h"

namespace {

std::string B64(const std::string& s) {
  return Base64Encode(reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
}

TEST(Base64, StandardVectors) {
  EXPECT_EQ(B64(""), "");
  EXPECT_EQ(B64("a"), "YQ==");
  EXPECT_EQ(B64("ab"), "YWI=");
  EXPECT_EQ(B64("abc"), "YWJj");
  EXPECT_EQ(B64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(B64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(B64(std::string("\xff\xfe\xfd\x00\x01", 5)), "//79AAE=");
  EXPECT_EQ(Base64Encode(nullptr, 3), "");
  EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("abc"), -1), "");
}

TEST(Base64, LargeInputHasNoLineBreaks) {
  std::string data(38862, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  const std::string out = B64(data);
  EXPECT_EQ(out.size(), 51816u);
  EXPECT_EQ(out.find('\n'), std::string::npos);
}

std::string Var(const char* text, const char* name, size_t size, int* result = nullptr) {
  mg_str s{text, text ? std::strlen(text) : 0};
  std::string buf(size, 'Z');
  const int r = mg_get_http_var(text ? &s : nullptr, name, &buf[0], size);
  if (result) *result = r;
  return std::string(buf.c_str());
}

TEST(Parameters, NamesMatchWithoutCaseAtStartOrAfterAmpersand) {
  EXPECT_EQ(Var("port=2", "Port", 20), "2");
  EXPECT_EQ(Var("Port=2", "Port", 20), "2");
  EXPECT_EQ(Var("PORT=2&ReadType=3", "Port", 20), "2");
  EXPECT_EQ(Var("ReadType=3&port=1001", "Port", 20), "1001");
  EXPECT_EQ(atoi(Var("Port=%32", "Port", 20).c_str()), 2);
  // Not a match: inside another name, or without "=".
  EXPECT_EQ(Var("MyPort=5", "Port", 20), "");
  EXPECT_EQ(Var("Portx=5&Port=6", "Port", 20), "6");
  EXPECT_EQ(Var("Port", "Port", 20), "");
}

TEST(Parameters, DecodingCuttingAndMissing) {
  EXPECT_EQ(Var("Name=a+b%20c", "Name", 20), "a b c");
  EXPECT_EQ(Var("Name=%E7%94%B7", "Name", 20), "\xE7\x94\xB7");
  // Malformed escapes stay as they are.
  EXPECT_EQ(Var("Name=100%&x=1", "Name", 20), "100%");
  EXPECT_EQ(Var("Name=%zz%4", "Name", 20), "%zz%4");
  // Cut to size-1 bytes.
  int r = 0;
  EXPECT_EQ(Var("Open=123456789012345678901234", "Open", 20, &r), "1234567890123456789");
  EXPECT_EQ(r, 19);
  EXPECT_EQ(Var("Open=%31%32%33", "Open", 3), "12");
  // Missing parameter or no text at all leave the buffer empty.
  EXPECT_EQ(Var("Other=1", "Open", 20, &r), "");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(Var(nullptr, "Open", 20), "");
  EXPECT_EQ(Var("", "Open", 20), "");
  EXPECT_EQ(Var("Open=", "Open", 20, &r), "");
  EXPECT_EQ(r, 0);
  EXPECT_EQ(atoi(Var("Open=abc", "Open", 20).c_str()), 0);
}

TEST(Parameters, NoRoomAtAll) {
  mg_str s{"a=1", 3};
  char c = 'x';
  EXPECT_EQ(mg_get_http_var(&s, "a", nullptr, 5), -2);
  EXPECT_EQ(mg_get_http_var(&s, "a", &c, 0), -2);
  EXPECT_EQ(c, 'x');
  char one[1] = {'x'};
  EXPECT_EQ(mg_get_http_var(&s, "a", one, 1), 0);
  EXPECT_EQ(one[0], '\0');
}

TEST(Envelope, ExactBytes) {
  mg_connection c;
  SendReply(&c, "{\"return\":false}");
  EXPECT_EQ(c.Pending(),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\n"
            "Content-Length: 16\nAccess-Control-Allow-Origin: *\n\n{\"return\":false}\n");
}

TEST(Envelope, BodyWithNulAndPercentIsCarriedWhole) {
  mg_connection c;
  const std::string body("a%sb\0c", 6);
  SendReply(&c, body);
  const std::string& out = c.Pending();
  EXPECT_NE(out.find("Content-Length: 6\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 7), body + "\n");
}

TEST(Envelope, LargePrintfIsNotCut) {
  mg_connection c;
  const std::string big(300000, 'Q');
  mg_printf(&c, kReplyEnvelope, static_cast<int>(big.size()), big.c_str());
  mg_connection d;
  SendReply(&d, big);
  EXPECT_EQ(c.Pending(), d.Pending());
}

class DispatchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Counts its runs: a refused or bodiless request must not reach it.
    RouteHandler echo = [](std::string url, const mg_str* params, mg_connection* c, ReplySender reply) {
      ++echoes_;
      char v[20] = {0};
      mg_get_http_var(params, "v", v, sizeof v);
      reply(c, url + ":" + v);
      return true;
    };
    HandlerTable().emplace("/Echo", echo);
    HandlerTable().emplace("/test", handle_test);
    HandlerTable().emplace("/Local/Debug", handle_Local_Debug);
    HandlerTable().emplace("/Local/GetVersion", handle_Local_GetVersion);
  }
  static inline int echoes_ = 0;
  std::string Dispatch(const char* method, const char* uri, const char* query, const char* body,
                       std::initializer_list<std::pair<const char*, const char*>> headers = {}) {
    http_message hm;
    hm.method = {method, std::strlen(method)};
    hm.uri = {uri, std::strlen(uri)};
    hm.query_string = {query, std::strlen(query)};
    hm.body = {body, std::strlen(body)};
    int i = 0;
    for (const auto& h : headers) {
      hm.header_names[i] = {h.first, std::strlen(h.first)};
      hm.header_values[i] = {h.second, std::strlen(h.second)};
      ++i;
    }
    mg_connection c;
    DispatchRequest(&c, MG_EV_HTTP_REQUEST, &hm);
    return c.Pending();
  }
  static std::string Body(const std::string& answer) {
    const auto p = answer.find("\n\n");
    return p == std::string::npos ? std::string() : answer.substr(p + 2);
  }
};

TEST_F(DispatchTest, GetReadsTheQueryAndPostTheBody) {
  EXPECT_EQ(Body(Dispatch("GET", "/Echo", "v=q", "v=b")), "/Echo:q\n");
  EXPECT_EQ(Body(Dispatch("POST", "/Echo", "v=q", "v=b")), "/Echo:b\n");
}

TEST_F(DispatchTest, PathAndMethodAreCaseSensitive) {
  EXPECT_EQ(Body(Dispatch("GET", "/echo", "", "")), "{\"return\":false}\n");
  EXPECT_EQ(Body(Dispatch("get", "/Echo", "", "")), "{\"return\":false}\n");
  EXPECT_EQ(Body(Dispatch("POST", "/nothing", "", "")), "{\"return\":false}\n");
  EXPECT_EQ(Body(Dispatch("PUT", "/Echo", "", "")), "{\"return\":false}\n");
  EXPECT_EQ(Body(Dispatch("DELETE", "/nothing", "", "")), "{\"return\":false}\n");
}

TEST_F(DispatchTest, OtherEventsAreIgnored) {
  mg_connection c;
  http_message hm;
  DispatchRequest(&c, 3, &hm);
  DispatchRequest(&c, MG_EV_HTTP_REQUEST, nullptr);
  EXPECT_TRUE(c.Pending().empty());
}

TEST_F(DispatchTest, PreflightAllowsTheAskedHeaders) {
  const std::string a = Dispatch("OPTIONS", "/Echo", "", "",
                                 {{"Origin", "http://localhost:8000"},
                                  {"access-control-request-method", "POST"},
                                  {"Access-Control-Request-Headers", "x-token, content-type"},
                                  {"Access-Control-Request-Private-Network", "true"}});
  EXPECT_EQ(a,
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
            "Access-Control-Allow-Headers: x-token, content-type\r\n"
            "Access-Control-Allow-Private-Network: true\r\n"
            "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\n\r\n");
  const std::string plain = Dispatch("OPTIONS", "/nothing", "", "");
  EXPECT_EQ(plain.find("Allow-Headers"), std::string::npos);
  EXPECT_EQ(plain.find("Private-Network"), std::string::npos);
  EXPECT_NE(plain.find("Access-Control-Max-Age: 600\r\n"), std::string::npos);
}

// With an allow-list only the listed origins get a CORS grant, only names that cannot be
// rebound to this machine are answered, and a browser's request without Origin (a no-cors GET
// or HEAD from any page) is served only when the user made it; without a list everything is as
// before.
TEST_F(DispatchTest, OriginPolicy) {
  const std::string granted = "Access-Control-Allow-Origin: *";
  struct Case {
    const char* method;
    const char* host;
    const char* origin;  // null: no Origin header
    const char* site;    // Sec-Fetch-Site; null: none sent (a program, or an old browser)
    bool served;
  };
  const Case cases[] = {
      {"GET", "127.0.0.1:12321", "https://portal.example.com", nullptr, true},
      {"GET", "localhost:12321", "HTTPS://Portal.Example.com", nullptr, true},
      {"GET", "portal.example.com:12321", "https://portal.example.com", nullptr, true},
      {"GET", "[::1]:12321", nullptr, nullptr, true},
      {"POST", "192.168.1.20:12321", "https://portal.example.com", nullptr, true},
      {"GET", "127.0.0.1:12321", "https://evil.example.net", nullptr, false},
      {"GET", "127.0.0.1:12321", "https://portal.example.com:8443", nullptr, false},
      {"GET", "evil.example.net:12321", "https://portal.example.com", nullptr, false},  // rebinding
      {"GET", "evil.example.net:12321", nullptr, nullptr, false},
      {"GET", "", nullptr, nullptr, false},
      {"OPTIONS", "127.0.0.1:12321", "https://evil.example.net", nullptr, false},
      {"OPTIONS", "127.0.0.1:12321", "https://portal.example.com", nullptr, true},
      // Only a real IPv6 literal counts as an address in brackets; a name stays a name.
      {"GET", "[::ffff:127.0.0.1]:12321", nullptr, nullptr, true},
      {"GET", "[evil.example.net]:12321", nullptr, nullptr, false},
      {"GET", "[]:12321", nullptr, nullptr, false},
      {"GET", "[::1", nullptr, nullptr, false},
      {"GET", "[1:2:3:4:5:6:7:8]:12321", nullptr, nullptr, true},
      {"GET", "[1:2:3:4:5:6:7:8:9]:12321", nullptr, nullptr, false},
      {"GET", "[1::2::3]:12321", nullptr, nullptr, false},
      {"GET", "[::1.2.3]:12321", nullptr, nullptr, false},
      {"GET", "[fe80::1%25eth0]:12321", nullptr, nullptr, false},
      {"GET", "127.0.0.1.evil.example.net:12321", nullptr, nullptr, false},
      {"GET", "999.1.1.1:12321", nullptr, nullptr, false},
      // Browsers: an <img>, <script> or navigation from another page carries no Origin.
      {"GET", "127.0.0.1:12321", nullptr, "cross-site", false},
      {"GET", "localhost:12321", nullptr, "same-site", false},
      {"GET", "127.0.0.1:12321", nullptr, "same-origin", false},
      {"HEAD", "127.0.0.1:12321", nullptr, "cross-site", false},
      {"POST", "127.0.0.1:12321", nullptr, "cross-site", false},
      {"GET", "127.0.0.1:12321", nullptr, "", false},
      // The user typed the address or opened a bookmark.
      {"GET", "127.0.0.1:12321", nullptr, "none", true},
      {"GET", "localhost:12321", nullptr, "None", true},
      {"GET", "evil.example.net:12321", nullptr, "none", false},
      {"GET", "127.0.0.1:12321", "https://evil.example.net", "none", false},
      // A listed page's fetch carries its Origin.
      {"GET", "127.0.0.1:12321", "https://portal.example.com", "cross-site", true},
      {"POST", "127.0.0.1:12321", "https://portal.example.com", "same-site", true},
      {"GET", "127.0.0.1:12321", "https://evil.example.net", "cross-site", false},
      {"GET", "127.0.0.1:12321", "null", "cross-site", false},
  };
  SetAccessPolicy({{"https://portal.example.com"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.host + " " + (c.origin ? c.origin : "-") + " " +
                 (c.site ? c.site : "-"));
    std::vector<std::pair<const char*, const char*>> headers = {{"Host", c.host}};
    if (c.origin != nullptr) headers.push_back({"Origin", c.origin});
    if (c.site != nullptr) headers.push_back({"Sec-Fetch-Site", c.site});
    http_message hm;
    hm.method = {c.method, std::strlen(c.method)};
    hm.uri = {"/Echo", 5};
    hm.query_string = {"v=1", 3};
    hm.body = {"v=1", 3};
    for (size_t i = 0; i < headers.size(); ++i) {
      hm.header_names[i] = {headers[i].first, std::strlen(headers[i].first)};
      hm.header_values[i] = {headers[i].second, std::strlen(headers[i].second)};
    }
    const int before = echoes_;
    mg_connection conn;
    DispatchRequest(&conn, MG_EV_HTTP_REQUEST, &hm);
    const std::string& a = conn.Pending();
    EXPECT_EQ(a.find("Access-Control-Allow") != std::string::npos, c.served) << a;
    const std::string method = c.method;
    if (method == "OPTIONS") {
      EXPECT_EQ(a.rfind(c.served ? "HTTP/1.1 200 OK" : "HTTP/1.1 403 Forbidden", 0), 0u) << a;
    } else {
      EXPECT_EQ(echoes_ - before, c.served ? 1 : 0) << a;
      if (method != "HEAD") {
        EXPECT_EQ(Body(a), c.served ? "/Echo:1\n" : "{\"return\":false}\n") << a;
      }
    }
  }
  SetAccessPolicy({});
  EXPECT_NE(Dispatch("GET", "/Echo", "v=1", "", {{"Origin", "https://evil.example.net"}}).find(granted),
            std::string::npos);
  EXPECT_NE(Dispatch("GET", "/Echo", "v=1", "", {{"Sec-Fetch-Site", "cross-site"}}).find(granted), std::string::npos);
}

// A HEAD answer never carries a body, and never runs a route that could touch a device: the
// service's own read-only routes and unknown paths get the head of their GET answer, the others
// 405. Refused ones get the refusal's head alone.
TEST_F(DispatchTest, HeadRunsNoDeviceRouteAndCarriesNoBody) {
  struct Case {
    const char* target;
    const char* query;
    const char* origin;  // with an allow-list that does not hold it
    const char* start;   // the expected answer's start; null: the head of the GET answer
    int runs;            // runs of the counting route
  };
  const Case cases[] = {
      {"/Echo", "v=qq", nullptr, "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, POST, OPTIONS\r\n", 0},
      {"/Local/Debug", "Open=1", nullptr, "HTTP/1.1 405 ", 0},
      {"/nothing", "", nullptr, nullptr, 0},
      {"/test", "", nullptr, nullptr, 0},
      {"/Local/GetVersion", "", nullptr, nullptr, 0},
      {"/Echo", "v=qq", "https://evil.example.net", "HTTP/1.1 200 OK\r\n", 0},
      {"/test", "", "https://evil.example.net", "HTTP/1.1 200 OK\r\n", 0},
  };
  tw::log::SetMaxSeverity(tw::log::Severity::Error);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.target) + " " + (c.origin ? c.origin : "-"));
    if (c.origin != nullptr) SetAccessPolicy({{"https://portal.example.com"}});
    std::initializer_list<std::pair<const char*, const char*>> headers = {{"Host", "127.0.0.1"},
                                                                          {"Origin", c.origin ? c.origin : ""}};
    const std::string get = c.start == nullptr ? Dispatch("GET", c.target, c.query, "", headers) : "";
    const int before = echoes_;
    const std::string head = Dispatch("HEAD", c.target, c.query, "", headers);
    SetAccessPolicy({});
    EXPECT_EQ(echoes_ - before, c.runs);
    const size_t end = head.find("\n\n") != std::string::npos ? head.find("\n\n") + 2 : head.find("\r\n\r\n") + 4;
    EXPECT_EQ(end, head.size()) << head;  // nothing after the head
    if (c.start == nullptr) {
      EXPECT_EQ(head, get.substr(0, get.find("\n\n") + 2));
    } else {
      EXPECT_EQ(head.rfind(c.start, 0), 0u) << head;
    }
  }
  EXPECT_EQ(tw::log::MaxSeverity(), tw::log::Severity::Error);  // the HEAD of /Local/Debug switched nothing
  EXPECT_NE(Dispatch("HEAD", "/nothing", "", "").find("Content-Length: 16\n"), std::string::npos);
}

// The fuzzers' model of one connection stops where the server would: at a request still
// arriving, and at a refusal.
TEST_F(DispatchTest, ServedBytesStopWhereTheServerWould) {
  const std::string get = "GET /test HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string chunked = "POST /test HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  const struct {
    const char* what;
    std::string bytes;
    std::vector<std::string> starts;  // of the answers, in order
  } cases[] = {
      {"head still arriving", get + "GET /test HTTP/1.1\r\nHost:", {"HTTP/1.1 200 OK"}},
      {"pipelined",
       get + "HEAD /Echo HTTP/1.1\r\nHost: x\r\n\r\n" + get,
       {"HTTP/1.1 200", "HTTP/1.1 405", "HTTP/1.1 200"}},
      {"chunked, then another", chunked + "1;a=b\r\nx\r\n0\r\nT: 1\r\n\r\n" + get, {"HTTP/1.1 200", "HTTP/1.1 200"}},
      {"endless extension", chunked + "1;" + std::string(20000, 'e') + get, {"HTTP/1.1 400 "}},
      {"endless trailer", chunked + "0\r\nT: " + std::string(20000, 't') + get, {"HTTP/1.1 400 "}},
      {"duplicated Host", "GET /test HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n" + get, {"HTTP/1.1 400 "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto answers = ServeBytes(c.bytes);
    ASSERT_EQ(answers.size(), c.starts.size());
    for (size_t i = 0; i < answers.size(); ++i)
      EXPECT_EQ(answers[i].bytes.rfind(c.starts[i], 0), 0u) << answers[i].bytes;
  }
}

TEST(LocalRoutes, DebugSwitchesTheSeverity) {
  tw::log::SetMaxSeverity(tw::log::Severity::Error);
  mg_connection c;
  mg_str on{"Open=1", 6};
  handle_Local_Debug("/Local/Debug", &on, &c, SendReply);
  EXPECT_EQ(tw::log::MaxSeverity(), tw::log::Severity::Debug);
  mg_str none{"", 0};
  handle_Local_Debug("/Local/Debug", &none, &c, SendReply);
  EXPECT_EQ(tw::log::MaxSeverity(), tw::log::Severity::Error);
  mg_str other{"Open=7", 6};
  handle_Local_Debug("/Local/Debug", &other, &c, SendReply);
  EXPECT_EQ(tw::log::MaxSeverity(), tw::log::Severity::Debug);
  mg_str zero{"open=0", 6};
  handle_Local_Debug("/Local/Debug", &zero, &c, SendReply);
  EXPECT_EQ(tw::log::MaxSeverity(), tw::log::Severity::Error);
  const std::string one = "\n\n{\"return\":0}\n";
  EXPECT_NE(c.Pending().find(one), std::string::npos);
}

TEST(LocalRoutes, VersionWithoutResource) {
  // Test programs carry no version resource.
  mg_connection c;
  handle_Local_GetVersion("/Local/GetVersion", nullptr, &c, SendReply);
  EXPECT_EQ(c.Pending().substr(c.Pending().find("\n\n") + 2), "{\"return\":-1}\n");
}

TEST(Json, EscapingAndTheShapesOfTheAnswers) {
  EXPECT_EQ(json::Escape("1.0.0.0"), "1.0.0.0");
  EXPECT_EQ(json::Escape("a\"b\\c\n\x01"), "a\\\"b\\\\c\\u000a\\u0001");
  EXPECT_EQ(json::Escape("\xE7\x94\xB7"), "\xE7\x94\xB7");
  EXPECT_EQ(json::Object().Add("cardNo", json::Quoted("1\"2")).Add("return", -1).Text(),
            "{\"cardNo\":\"1\\\"2\",\"return\":-1}");
  EXPECT_EQ(json::Object().Add("return", false).Text(), "{\"return\":false}");
  EXPECT_EQ(json::Object().Add("data", json::Raw("{}")).Text(), "{\"data\":{}}");
  EXPECT_EQ(json::Join("{ \"szSAMID\": ", json::Quoted("5-1"), ",\"return\":", 144, "}"),
            "{ \"szSAMID\": \"5-1\",\"return\":144}");
}

TEST(Json, NumbersThatMayStandUnquoted) {
  for (const char* number : {"0", "7301000001", "-7", "1.25", "6.02E23", "1e-5", "1E+2", "-0.0", " 42 ", "\t1\n"}) {
    EXPECT_TRUE(json::IsNumber(number)) << number;
  }
  for (const char* other : {"",  " ",  "SN7301", "0123", "-01", "1.",   ".5",       "-.5", "1e",  "1e+",
                            "-", "+1", "1_0",    "1-2",  "1 2", "0x10", "Infinity", "NaN", "1,5", "12}"}) {
    EXPECT_FALSE(json::IsNumber(other)) << other;
  }
}

}  // namespace
