// The counters, the device states read off the answers, who may read "/" and "/metrics", and
// what the two pages show.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "http/device_status.h"
#include "http/http.h"
#include "http/metrics.h"
#include "http/status_page.h"
#include "route_server.h"
#include "tw/log.h"

// Allocations counted while `g_counting` is set, to show that counting allocates nothing. The
// replacement allocates with malloc, so free is the matching release, whatever GCC infers once it
// has inlined both.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Serves one request as a connection from `peer` would; returns the answer bytes.
std::string Serve(const std::string& method, const std::string& target, const std::string& peer,
                  const Headers& headers = {}, const std::string& body = {}) {
  ParsedRequest request;
  request.method = method;
  request.target = target;
  request.body = body;
  for (const auto& [name, value] : headers) request.headers[request.headerCount++] = {name, value};
  mg_connection c;
  c.SetPeer(peer);
  ServeRequest(request, &c);
  return c.Pending();
}

bool IsNotFound(const std::string& answer) { return answer.find("\n\n{\"return\":false}\n") != std::string::npos; }

class MetricsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Tarnwick server;
    RegisterRoutes(server);
    // A reader-like route whose device result is the "r" parameter, and one that throws.
    server.AddHandler(
        "/t/reader",
        [](std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
          reply(c, "{\"return\":" + std::to_string(IntParam(params, "r")) + "}");
          return true;
        },
        Family::IdCard);
    server.AddHandler(
        "/t/throws",
        [](std::string, const mg_str*, mg_connection*, ReplySender) -> bool { throw std::runtime_error("x"); },
        Family::IdCard);
    device_status::WatchRoute("/t/reader",
                              {Family::IdCard, device_status::AnswerRule::Success::Equal, 144, true, false, 1, false});
  }
  void SetUp() override {
    metrics::ResetForTesting();
    device_status::ResetForTesting();
    status_page::SetSettings({"127.0.0.1", "12321", {"192.0.2.0/24", "2001:db8::5"}});
  }
};

TEST(AddressTest, MatchesAddressesAndNetworks) {
  struct Row {
    const char* peer;
    const char* entry;
    bool matches;
  } rows[] = {
      {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.8", "192.0.2.7", false},
      {"192.0.2.200", "192.0.2.0/24", true},
      {"192.0.3.1", "192.0.2.0/24", false},
      {"10.200.1.1", "10.0.0.0/8", true},
      {"10.1.2.3", "10.1.2.0/25", true},
      {"10.1.2.200", "10.1.2.0/25", false},
      {"1.2.3.4", "0.0.0.0/0", true},
      {"::ffff:192.0.2.9", "192.0.2.0/24", true},
      {"2001:db8::5", "2001:db8::/32", true},
      {"2001:db9::5", "2001:db8::/32", false},
      {"192.0.2.7", "192.0.2.0/33", false},
      {"192.0.2.7", "192.0.2.0/", false},
      {"192.0.2.7", "not-an-address", false},
      {"", "192.0.2.0/24", false},
      {"2001:db8::5", "192.0.2.0/24", false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(status_page::AddressMatches(row.peer, row.entry), row.matches) << row.peer << " in " << row.entry;

  struct Loop {
    const char* peer;
    bool loopback;
  } loops[] = {{"127.0.0.1", true},  {"127.8.9.1", true}, {"::1", true}, {"::ffff:127.0.0.1", true},
               {"128.0.0.1", false}, {"::2", false},      {"", false},   {"localhost", false}};
  for (const Loop& l : loops) EXPECT_EQ(status_page::IsLoopback(l.peer), l.loopback) << l.peer;
}

TEST(AnswerTest, ReadsTheReturnValue) {
  struct Row {
    const char* body;
    bool has;
    int value;
  } rows[] = {{"{\"return\":144}", true, 144},        {"{\"return\":\"144\"}", true, 144},
              {"{\"return\": -1 }", true, -1},        {"{ \"szSAMID\": \"x\",\"return\":1}", true, 1},
              {"{\"readerName\":\"K\"}", false, 0},   {"{\"return\":false}", false, 0},
              {"{\"return\":99999999999}", false, 0}, {"", false, 0}};
  for (const Row& row : rows) {
    int value = 0;
    EXPECT_EQ(device_status::ReturnValue(row.body, &value), row.has) << row.body;
    if (row.has) {
      EXPECT_EQ(value, row.value) << row.body;
    }
  }
}

TEST_F(MetricsTest, CountsEachRequestByFamilyAndOutcome) {
  using O = metrics::Outcome;
  using P = device_status::Presence;
  struct Row {
    const char* method;
    const char* target;
    Headers headers;
    Family family;
    O outcome;
    P presence;  // of the reader family afterwards
  } rows[] = {
      {"GET", "/t/reader?r=144", {}, Family::IdCard, O::Ok, P::Present},
      {"GET", "/t/reader?r=1", {}, Family::IdCard, O::DeviceError, P::Absent},
      {"GET", "/t/reader?r=128", {}, Family::IdCard, O::DeviceError, P::Absent},  // no card: says nothing of the reader
      {"POST", "/t/reader", {}, Family::IdCard, O::DeviceError, P::Absent},  // no r in the body: 0, port out of range
      {"GET", "/Local/GetVersion", {}, Family::Local, O::Ok, P::Absent},
      {"GET", "/nowhere", {}, Family::Local, O::NotFound, P::Absent},
      {"OPTIONS", "/t/reader", {}, Family::Local, O::Preflight, P::Absent},
      {"HEAD", "/t/reader?r=144", {}, Family::Local, O::NotAllowed, P::Absent},
      {"GET", "/t/throws", {}, Family::IdCard, O::Failed, P::Absent},
      {"GET", "/t/reader?r=144", {}, Family::IdCard, O::Ok, P::Present},
  };
  for (const Row& row : rows) {
    const metrics::Snapshot before = metrics::Take();
    Serve(row.method, row.target, "127.0.0.1", row.headers, "x=1");
    const metrics::Snapshot after = metrics::Take();
    const size_t f = static_cast<size_t>(row.family);
    SCOPED_TRACE(std::string(row.method) + " " + row.target);
    for (size_t family = 0; family < kFamilyCount; ++family) {
      for (size_t o = 0; o < metrics::kOutcomeCount; ++o) {
        const uint64_t expected = family == f && o == static_cast<size_t>(row.outcome) ? 1 : 0;
        EXPECT_EQ(after.requests[family][o] - before.requests[family][o], expected)
            << FamilyName(static_cast<Family>(family)) << " " << metrics::OutcomeName(static_cast<O>(o));
      }
    }
    uint64_t counted = 0;
    for (size_t b = 0; b <= metrics::kBucketCount; ++b) counted += after.buckets[f][b] - before.buckets[f][b];
    EXPECT_EQ(counted, 1u);
    EXPECT_EQ(device_status::Get(Family::IdCard).presence, row.presence);
  }
  const device_status::State reader = device_status::Get(Family::IdCard);
  EXPECT_EQ(reader.errors, 3u);
  EXPECT_STREQ(reader.lastError, "/t/reader: {\"return\":0}");
}

TEST_F(MetricsTest, OriginRefusalsAreCounted) {
  AccessPolicy policy;
  policy.allowedOrigins = {"https://counter.example"};
  SetAccessPolicy(policy);
  const std::string answer =
      Serve("GET", "/Local/GetVersion", "127.0.0.1", {{"Host", "127.0.0.1"}, {"Origin", "https://evil.example"}});
  SetAccessPolicy({});
  const metrics::Snapshot s = metrics::Take();
  EXPECT_TRUE(IsNotFound(answer));
  EXPECT_EQ(s.refusals[static_cast<size_t>(metrics::Refusal::Origin)], 1u);
  EXPECT_EQ(s.requests[0][static_cast<size_t>(metrics::Outcome::Refused)], 1u);
}

TEST_F(MetricsTest, MetricsOnlyForLoopbackAndTheScrapers) {
  struct Row {
    const char* peer;
    Headers headers;
    bool answered;
  } rows[] = {
      {"127.0.0.1", {}, true},
      {"::1", {}, true},
      {"::ffff:127.0.0.1", {}, true},
      {"192.0.2.77", {}, true},   // in MetricsFrom's network
      {"2001:db8::5", {}, true},  // MetricsFrom's address
      {"2001:db8::6", {}, false},
      {"198.51.100.1", {}, false},
      {"", {}, false},
      {"127.0.0.1", {{"Sec-Fetch-Site", "none"}}, true},  // typed into the address bar
      {"127.0.0.1", {{"Sec-Fetch-Site", "cross-site"}}, false},
      {"127.0.0.1", {{"Origin", "https://evil.example"}}, false},
  };
  for (const Row& row : rows) {
    const std::string answer = Serve("GET", "/metrics", row.peer, row.headers);
    SCOPED_TRACE(row.peer);
    if (row.answered) {
      EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4", 0), 0u);
      EXPECT_NE(answer.find("\ntarnwick_build_info{version=\""), std::string::npos);
      EXPECT_EQ(answer.find("Access-Control-Allow-Origin"), std::string::npos);
    } else {
      EXPECT_TRUE(IsNotFound(answer)) << answer;
    }
  }
}

TEST_F(MetricsTest, HistogramIsCumulativeAndCountsEveryRequest) {
  for (int i = 0; i < 5; ++i) Serve("GET", "/t/reader?r=144", "127.0.0.1");
  const std::string text = metrics::RenderPrometheus("1.2.3");
  uint64_t last = 0;
  size_t at = 0;
  int buckets = 0;
  const std::string prefix = "tarnwick_request_duration_seconds_bucket{family=\"idcard\",le=\"";
  while ((at = text.find(prefix, at)) != std::string::npos) {
    const uint64_t value = std::stoull(text.substr(text.find("} ", at) + 2));
    EXPECT_GE(value, last);
    last = value;
    ++buckets;
    at += prefix.size();
  }
  EXPECT_EQ(buckets, static_cast<int>(metrics::kBucketCount) + 1);
  EXPECT_EQ(last, 5u);
  EXPECT_NE(text.find("tarnwick_request_duration_seconds_count{family=\"idcard\"} 5\n"), std::string::npos);
  EXPECT_NE(text.find("tarnwick_requests_total{family=\"idcard\",outcome=\"ok\"} 5\n"), std::string::npos);
  EXPECT_NE(text.find("tarnwick_device_present{family=\"idcard\"} 1\n"), std::string::npos);
  // Families nobody asked have no presence at all, rather than a missing device.
  EXPECT_EQ(text.find("tarnwick_device_present{family=\"usbkey\"}"), std::string::npos);
}

TEST_F(MetricsTest, CountingAllocatesNothing) {
  const metrics::Snapshot before = metrics::Take();
  g_allocations = 0;
  g_counting = true;
  for (int i = 0; i < 100; ++i) {
    metrics::RequestScope scope;
    metrics::NoteDispatch(Family::UsbKey, metrics::Outcome::Ok);
    metrics::NoteDeviceError();
    scope.Finish(true);
    metrics::CountRefusalAnswer("HTTP/1.1 431 Request Header Fields Too Large\r\n");
    metrics::ConnectionOpened();
    metrics::ConnectionClosed();
  }
  g_counting = false;
  EXPECT_EQ(g_allocations.load(), 0);
  const metrics::Snapshot after = metrics::Take();
  EXPECT_EQ(after.requests[3][static_cast<size_t>(metrics::Outcome::DeviceError)] -
                before.requests[3][static_cast<size_t>(metrics::Outcome::DeviceError)],
            100u);
  EXPECT_EQ(after.refusals[2] - before.refusals[2], 100u);
}

TEST_F(MetricsTest, LogAndSwitchOnlyForStaffAtThisPc) {
  struct Row {
    const char* peer;
    Headers headers;
    bool page;
    bool staff;
  } rows[] = {
      {"127.0.0.1", {{"Host", "127.0.0.1:12321"}}, true, true},
      {"::1", {{"Host", "[::1]:12321"}}, true, true},
      {"127.0.0.1", {{"Host", "localhost:12321"}, {"Sec-Fetch-Site", "none"}}, true, true},
      {"127.0.0.1",
       {{"Host", "127.0.0.1:12321"}, {"Sec-Fetch-Site", "same-origin"}, {"Origin", "http://127.0.0.1:12321"}},
       true,
       true},
      {"127.0.0.1", {{"Host", "rebound.example:12321"}}, true, false},  // a name that now points here
      {"127.0.0.1", {{"Host", "rebound.example:12321"}, {"Sec-Fetch-Site", "same-origin"}}, false, false},
      {"192.0.2.7", {{"Host", "counter-17.example:12321"}, {"Sec-Fetch-Site", "none"}}, true, false},
      {"127.0.0.1", {}, true, false},
      {"192.0.2.7", {{"Host", "192.0.2.1:12321"}}, true, false},
      {"127.0.0.1", {{"Host", "127.0.0.1:12321"}, {"Sec-Fetch-Site", "cross-site"}}, true, false},
      {"127.0.0.1", {{"Host", "127.0.0.1:12321"}, {"Origin", "https://evil.example"}}, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.peer) + (row.headers.empty() ? "" : " " + row.headers[0].second) +
                 (row.headers.size() > 1 ? " " + row.headers[1].second : ""));
    const std::string page = Serve("GET", "/", row.peer, row.headers);
    if (!row.page) {
      EXPECT_TRUE(IsNotFound(page)) << page;
      continue;
    }
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8", 0), 0u);
    EXPECT_NE(page.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
    EXPECT_EQ(page.find("Access-Control-Allow-Origin"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_NE(page.find("id=family-idcard"), std::string::npos);
    EXPECT_EQ(page.find("<pre id=log>") != std::string::npos, row.staff);
    EXPECT_EQ(page.find("id=debug-switch") != std::string::npos, row.staff);

    tw::log::SetMaxSeverity(tw::log::Severity::Error);
    const std::string answer = Serve("POST", "/", row.peer, row.headers, "debug=1");
    EXPECT_EQ(tw::log::MaxSeverity() == tw::log::Severity::Debug, row.staff);
    EXPECT_EQ(answer.rfind("HTTP/1.1 303 See Other", 0) == 0, row.staff);
  }
  tw::log::SetMaxSeverity(tw::log::Severity::Error);
}

TEST_F(MetricsTest, ServerCountsRefusalsAndConnections) {
  test::RouteServer server;
  ASSERT_TRUE(server.Started());
  auto metricsText = [&] {
    test::RawClient client(server.Port());
    client.Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return client.ReadAnswer();
  };
  {
    test::RawClient bad(server.Port());
    bad.Send("NOT A REQUEST\r\n\r\n");
    EXPECT_EQ(bad.ReadToEnd().rfind("HTTP/1.1 400", 0), 0u);
    test::RawClient big(server.Port());
    big.TrySend("GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n");
    EXPECT_EQ(big.ReadToEnd().rfind("HTTP/1.1 431", 0), 0u);
  }
  const metrics::Snapshot s = metrics::Take();
  EXPECT_EQ(s.refusals[static_cast<size_t>(metrics::Refusal::BadRequest)], 1u);
  EXPECT_EQ(s.refusals[static_cast<size_t>(metrics::Refusal::HeadersTooLarge)], 1u);

  // Two clients that have been answered are open; the scrape's own connection makes three.
  test::RawClient a(server.Port()), b(server.Port());
  for (test::RawClient* client : {&a, &b}) {
    client->Send("GET /test HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    client->ReadAnswer();
  }
  // The sessions of the refused clients may still be on their way out: wait for them.
  std::string text;
  for (int i = 0; i < 500; ++i) {
    text = metricsText();
    if (text.find("\ntarnwick_open_connections 3\n") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(text.find("\ntarnwick_open_connections 3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\ntarnwick_refusals_total{kind=\"431\"} 1\n"), std::string::npos);
}

TEST(LogTailTest, TakesTheLastLinesAcrossRolledFiles) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("tw-logtail-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  const std::string name = (dir / "2026-12-09.txt").string();
  auto write = [](const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; };
  write(name, "c1\nc2\r\nc3\n");
  write((dir / "2026-12-09.1.txt").string(), "b1\nb2\n");
  write((dir / "2026-12-09.2.txt").string(), "a1\n");
  struct Row {
    size_t count;
    std::vector<std::string> lines;
  } rows[] = {{0, {}},
              {2, {"c2", "c3"}},
              {3, {"c1", "c2", "c3"}},
              {5, {"b1", "b2", "c1", "c2", "c3"}},
              {200, {"a1", "b1", "b2", "c1", "c2", "c3"}}};
  for (const Row& row : rows) EXPECT_EQ(status_page::LogTail(name, row.count), row.lines) << row.count;
  EXPECT_TRUE(status_page::LogTail((dir / "missing.txt").string(), 10).empty());
  std::filesystem::remove_all(dir);
  EXPECT_EQ(status_page::HtmlEscape("<img src=x onerror='a()'>&\""),
            "&lt;img src=x onerror=&#39;a()&#39;&gt;&amp;&quot;");
}

}  // namespace
