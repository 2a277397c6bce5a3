// The server over real loopback connections.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "http/http.h"
#include "raw_client.h"
#include "tw/log.h"

namespace {

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Init("0");
    RegisterRoutes(server_);
    server_.AddHandler("/Silent", [](std::string, const mg_str*, mg_connection*, ReplySender) { return true; });
    server_.AddHandler("/Big", [](std::string, const mg_str*, mg_connection* c, ReplySender reply) {
      reply(c, std::string(4 * 1024 * 1024, 'B'));
      return true;
    });
    ASSERT_TRUE(server_.Start());
    port_ = server_.BoundPort();
    ASSERT_NE(port_, 0);
    polling_.emplace(server_);
  }
  void TearDown() override {
    polling_.reset();
    server_.Close();
  }

  std::string Get(const std::string& target) { return test::Get(port_, target); }
  static std::string Body(const std::string& answer) { return test::Body(answer); }

  Tarnwick server_;
  unsigned short port_ = 0;
  std::optional<test::PollingThread> polling_;
};

TEST_F(ServerTest, UnregisteredPathHasTheExactEnvelope) {
  test::RawClient c(port_);
  c.Send("GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(c.ReadAnswer(),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\n"
            "Content-Length: 16\nAccess-Control-Allow-Origin: *\n\n{\"return\":false}\n");
}

TEST_F(ServerTest, PathIsWithoutQueryAndCaseSensitive) {
  EXPECT_EQ(Body(Get("/Local/GetVersion?x=1")), "{\"return\":-1}\n");
  EXPECT_EQ(Body(Get("/local/getversion")), "{\"return\":false}\n");
  EXPECT_EQ(Body(Get("/test")), "{\"return\":0}\n");
}

TEST_F(ServerTest, PostReadsTheFormBody) {
  test::RawClient c(port_);
  c.Send(
      "POST /Local/Debug HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: 6\r\n\r\nOpen=1");
  EXPECT_EQ(Body(c.ReadAnswer()), "{\"return\":0}\n");
  EXPECT_EQ(tw::log::MaxSeverity(), tw::log::Severity::Debug);
  c.Send("POST /Local/Debug HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(Body(c.ReadAnswer()), "{\"return\":0}\n");
  EXPECT_EQ(tw::log::MaxSeverity(), tw::log::Severity::Error);
  c.Send("POST /nothing HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\na=1");
  EXPECT_EQ(Body(c.ReadAnswer()), "{\"return\":false}\n");
}

TEST_F(ServerTest, KeepAliveAndPipelinedRequests) {
  test::RawClient c(port_);
  c.Send("GET /test HTTP/1.1\r\nHost: x\r\n\r\nGET /nothing HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(Body(c.ReadAnswer()), "{\"return\":0}\n");
  EXPECT_EQ(Body(c.ReadAnswer()), "{\"return\":false}\n");
  c.Send("GET /test HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(Body(c.ReadAnswer()), "{\"return\":0}\n");
}

TEST_F(ServerTest, ConnectionCloseIsHonoured) {
  test::RawClient c(port_);
  c.Send("GET /test HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const std::string all = c.ReadToEnd();
  EXPECT_EQ(Body(all), "{\"return\":0}\n");
}

TEST_F(ServerTest, ExpectContinueGetsAnInterimAnswer) {
  test::RawClient c(port_);
  c.Send("POST /Local/Debug HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 6\r\n\r\n");
  EXPECT_EQ(c.ReadAnswer(), "HTTP/1.1 100 Continue\r\n\r\n");
  c.Send("Open=0");
  EXPECT_EQ(Body(c.ReadAnswer()), "{\"return\":0}\n");
}

TEST_F(ServerTest, PreflightOverTheWire) {
  test::RawClient c(port_);
  c.Send(
      "OPTIONS /Local/GetVersion HTTP/1.1\r\nHost: x\r\nOrigin: http://localhost:9\r\n"
      "Access-Control-Request-Method: GET\r\nAccess-Control-Request-Headers: x-demo\r\n\r\n");
  const std::string a = c.ReadAnswer();
  EXPECT_EQ(a.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(a.find("Access-Control-Allow-Headers: x-demo\r\n"), std::string::npos);
  EXPECT_NE(a.find("Content-Length: 0\r\n"), std::string::npos);
  // The connection goes on after a preflight.
  c.Send("GET /test HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(Body(c.ReadAnswer()), "{\"return\":0}\n");
}

TEST_F(ServerTest, OversizedRequestsAreRefusedAndClosed) {
  {
    test::RawClient c(port_);
    c.Send("GET /test?" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(c.ReadToEnd().rfind("HTTP/1.1 431 ", 0), 0u);
  }
  {
    test::RawClient c(port_);
    c.Send("GET /test HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'h') + "\r\n\r\n");
    EXPECT_EQ(c.ReadToEnd().rfind("HTTP/1.1 431 ", 0), 0u);
  }
  {
    test::RawClient c(port_);
    c.Send("POST /test HTTP/1.1\r\nHost: x\r\nContent-Length: 900000000\r\n\r\nabc");
    EXPECT_EQ(c.ReadToEnd().rfind("HTTP/1.1 413 ", 0), 0u);
  }
  // Still serving.
  EXPECT_EQ(Body(Get("/test")), "{\"return\":0}\n");
}

TEST_F(ServerTest, MalformedRequestsAreRefusedAndClosed) {
  for (const char* bad : {"GARBAGE\r\n\r\n", "GET / HTTP/9.9\r\n\r\n", "GET /test HTTP/1.1\r\nBad Header\r\n\r\n",
                          "POST /test HTTP/1.1\r\nContent-Length: x\r\n\r\n",
                          "POST /test HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"}) {
    test::RawClient c(port_);
    c.Send(bad);
    EXPECT_EQ(c.ReadToEnd().rfind("HTTP/1.1 400 ", 0), 0u) << bad;
  }
  EXPECT_EQ(Body(Get("/test")), "{\"return\":0}\n");
}

// Chunk framing that never ends, or that dwarfs its body, is refused once past its bound: the
// server stops reading and ends the connection instead of buffering what keeps arriving.
TEST_F(ServerTest, ChunkFramingIsBounded) {
  const std::string head = "POST /test HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string tiny;
  for (int i = 0; i < 64 * 1024; ++i) tiny += "1\r\na\r\n";
  std::string trailers = "0\r\n";
  for (int i = 0; i < 8 * 1024; ++i) trailers += "X-T: a\r\n";
  const struct {
    const char* what;
    std::string start;  // sent once
    std::string more;   // then sent again and again, 4 MiB in all
  } cases[] = {
      {"endless chunk-size line", "1", std::string(64 * 1024, '0')},
      {"endless extension", "1;name=", std::string(64 * 1024, 'e')},
      {"endless trailer", "0\r\nX-Trailer: ", std::string(64 * 1024, 't')},
      {"many trailer fields", "", trailers},
      {"tiny chunks past the whole request's bound", "", tiny},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::RawClient client(port_);
    bool open = client.TrySend(head + c.start);
    // Tiny chunks: about 10 MiB of framing for 1.4 MiB of body; the others: 4 MiB.
    const size_t total = c.more.size() == tiny.size() ? 10 * 1024 * 1024 : 4 * 1024 * 1024;
    for (size_t sent = 0; open && sent < total; sent += c.more.size()) open = client.TrySend(c.more);
    EXPECT_EQ(client.ReadToEnd().rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
  }
  // What framing may be: extensions, a trailer and many small chunks within the bound.
  test::RawClient client(port_);
  std::string body = "3;ext=\"x y\"\r\nOpe\r\n";
  for (int i = 0; i < 1000; ++i) body += "0000000000000000000000000000000000000001\r\nn\r\n";
  client.Send(head + body + "2\r\n=1\r\n0\r\nX-Trailer: " + std::string(8 * 1024, 't') + "\r\n\r\n");
  EXPECT_EQ(Body(client.ReadAnswer()), "{\"return\":0}\n");
  EXPECT_EQ(Body(Get("/test")), "{\"return\":0}\n");
}

// Two Host fields leave the access policy guessing which one names the host: refused.
TEST_F(ServerTest, DuplicatedHostIsRefused) {
  const struct {
    const char* hosts;
    const char* start;
  } cases[] = {
      {"Host: 127.0.0.1\r\nHost: evil.example.net\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      {"Host: 127.0.0.1\r\nhost: 127.0.0.1\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      {"HOST: a\r\nX-Other: 1\r\nHost: a\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      {"Host: 127.0.0.1\r\nX-Host: evil.example.net\r\n", "HTTP/1.1 200 OK\r\n"},
  };
  for (const auto& c : cases) {
    test::RawClient client(port_);
    client.Send(std::string("GET /test HTTP/1.1\r\n") + c.hosts + "Connection: close\r\n\r\n");
    EXPECT_EQ(client.ReadToEnd().rfind(c.start, 0), 0u) << c.hosts;
  }
}

// On one kept-alive connection: a HEAD answer, refused or not, ends at its head, so the next
// answer starts right after it; and a HEAD of a device route runs nothing.
TEST_F(ServerTest, HeadOnAKeptAliveConnection) {
  int runs = 0;
  server_.AddHandler("/CountedHead", [&runs](std::string, const mg_str*, mg_connection* c, ReplySender reply) {
    ++runs;
    reply(c, "{\"return\":0}");
    return true;
  });
  SetAccessPolicy({{"https://portal.example.com"}});
  test::RawClient c(port_);
  const std::string get = "GET /test HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const struct {
    std::string request;
    const char* start;
  } heads[] = {
      {"HEAD /CountedHead HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Site: cross-site\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\nContent-Length: 16\n\n"},
      {"HEAD /CountedHead HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://evil.example.net\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\nContent-Length: 16\n\n"},
      {"HEAD /CountedHead HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
      {"HEAD /test HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
  };
  for (const auto& h : heads) {
    // The HEAD and a GET behind it in one write: any body byte of the first would lead the second.
    c.Send(h.request + get);
    const std::string head = c.ReadHead();
    EXPECT_EQ(head.rfind(h.start, 0), 0u) << head;
    EXPECT_EQ(c.ReadAnswer(),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\n"
              "Content-Length: 12\nAccess-Control-Allow-Origin: *\n\n{\"return\":0}\n");
  }
  SetAccessPolicy({});
  EXPECT_EQ(runs, 0);
}

TEST_F(ServerTest, MalformedEscapeInTheQueryIsKeptLiterally) {
  server_.AddHandler("/EchoOpen", [](std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
    char v[20] = {0};
    mg_get_http_var(params, "Open", v, sizeof v);
    reply(c, v);
    return true;
  });
  EXPECT_EQ(Body(Get("/EchoOpen?Open=5%zz%")), "5%zz%\n");
}

TEST_F(ServerTest, AHandlerWithoutAnswerEndsTheConnection) {
  test::RawClient c(port_);
  c.Send("GET /Silent HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(c.ReadToEnd(), "");
}

TEST_F(ServerTest, IdleConnectionsDoNotHoldUpOthers) {
  std::vector<std::unique_ptr<test::RawClient>> idle;
  for (int i = 0; i < 64; ++i) idle.push_back(std::make_unique<test::RawClient>(port_));
  // Half-sent requests too.
  for (int i = 0; i < 8; ++i) idle[static_cast<size_t>(i)]->Send("GET /test HTTP/1.1\r\nHo");
  EXPECT_EQ(Body(Get("/test")), "{\"return\":0}\n");
}

TEST_F(ServerTest, AClientThatStopsReadingDoesNotHoldUpOthers) {
  // Requests a 4 MiB answer over and over without reading any of it.
  test::RawClient slow(port_);
  std::string many;
  for (int i = 0; i < 8; ++i) many += "GET /Big HTTP/1.1\r\nHost: x\r\n\r\n";
  slow.Send(many);
  EXPECT_EQ(Body(Get("/test")), "{\"return\":0}\n");
  EXPECT_EQ(Body(Get("/nothing")), "{\"return\":false}\n");
}

TEST_F(ServerTest, PastTheConnectionLimitTheOldestIdleMakesWay) {
  std::vector<std::unique_ptr<test::RawClient>> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(std::make_unique<test::RawClient>(port_));
  EXPECT_EQ(Body(Get("/test")), "{\"return\":0}\n");
  EXPECT_TRUE(idle.front()->Closed());
}

// A server with small limits, polled on a thread.
class LimitedServer : public ::testing::Test {
 protected:
  void Serve(const Tarnwick::Limits& limits) {
    server_.Init("0");
    server_.SetLimits(limits);
    RegisterRoutes(server_);
    ASSERT_TRUE(server_.Start());
    polling_.emplace(server_);
  }
  void TearDown() override {
    polling_.reset();
    server_.Close();
  }
  // Waits until `done` holds (the server works on its own thread), at most a few seconds.
  template <class Done>
  static bool Eventually(Done done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
  }

  Tarnwick server_;
  std::optional<test::PollingThread> polling_;
};

// A declared Content-Length reserves nothing: bodies hold only what has arrived, all of them
// within one budget; the one that would pass it is refused, and what they held comes back.
TEST_F(LimitedServer, SlowBodiesHoldOnlyWhatArrivedWithinOneBudget) {
  Tarnwick::Limits limits;
  limits.bodyBudgetBytes = 100 * 1024;
  Serve(limits);
  const std::string head = "POST /test HTTP/1.1\r\nHost: x\r\nContent-Length: 8000000\r\n\r\n";
  std::vector<std::unique_ptr<test::RawClient>> slow;
  for (int i = 0; i < 4; ++i) {
    slow.push_back(std::make_unique<test::RawClient>(server_.BoundPort()));
    slow.back()->Send(head + std::string(20 * 1024, 'a'));
  }
  ASSERT_TRUE(Eventually([&] { return server_.BodyBytesHeld() == 4u * 20 * 1024; })) << server_.BodyBytesHeld();
  test::RawClient over(server_.BoundPort());
  over.Send(head + std::string(30 * 1024, 'b'));
  EXPECT_EQ(over.ReadToEnd().rfind("HTTP/1.1 503 ", 0), 0u);
  EXPECT_EQ(test::Body(test::Get(server_.BoundPort(), "/test")), "{\"return\":0}\n");
  slow.clear();
  EXPECT_TRUE(Eventually([&] { return server_.BodyBytesHeld() == 0; })) << server_.BodyBytesHeld();
}

// Connections in the middle of a request count too: past the limit the least recently active
// one makes way, so trickling clients cannot lock the others out.
TEST_F(LimitedServer, EveryConnectionCountsAgainstTheLimit) {
  Tarnwick::Limits limits;
  limits.connections = 8;
  Serve(limits);
  std::vector<std::unique_ptr<test::RawClient>> trickling;
  for (int i = 0; i < 20; ++i) {
    trickling.push_back(std::make_unique<test::RawClient>(server_.BoundPort()));
    trickling.back()->Send("GET /test HTTP/1.1\r\nHo");
  }
  EXPECT_EQ(test::Body(test::Get(server_.BoundPort(), "/test")), "{\"return\":0}\n");
  EXPECT_TRUE(trickling.front()->Closed());
  EXPECT_TRUE(Eventually([&] { return server_.Connections() <= 8; })) << server_.Connections();
}

// Connections that have yet to complete a request make way before one that has been served.
TEST_F(LimitedServer, AServedConnectionOutlastsNewerOnesThatSentNothing) {
  Tarnwick::Limits limits;
  limits.connections = 8;
  Serve(limits);
  test::RawClient served(server_.BoundPort());
  served.Send("GET /test HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(test::Body(served.ReadAnswer()), "{\"return\":0}\n");
  std::vector<std::unique_ptr<test::RawClient>> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<test::RawClient>(server_.BoundPort()));
  EXPECT_TRUE(Eventually([&] { return silent.front()->Closed(); }));
  served.Send("GET /test HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(test::Body(served.ReadAnswer()), "{\"return\":0}\n");
}

TEST(ServerLifecycle, NothingIsDispatchedOnceTheServerCloses) {
  int served = 0;
  Tarnwick s;
  s.Init("0");
  s.AddHandler("/CountedOnClose", [&served](std::string, const mg_str*, mg_connection* c, ReplySender r) {
    ++served;
    r(c, "counted");
    return true;
  });
  ASSERT_TRUE(s.Start());
  test::RawClient c(s.BoundPort());
  c.Send("GET /CountedOnClose HTTP/1.1\r\nHost: x\r\n\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the request is there to be read
  s.Close();
  EXPECT_EQ(served, 0);
  EXPECT_EQ(c.ReadToEnd(), "");
}

TEST(ServerLifecycle, StartFailsOnATakenPortOrBadPortText) {
  Tarnwick a;
  a.Init("0");
  ASSERT_TRUE(a.Start());
  Tarnwick b;
  b.Init(std::to_string(a.BoundPort()));
  EXPECT_FALSE(b.Start());
  for (const char* bad : {"", "abc", "70000", "12a"}) {
    Tarnwick c;
    c.Init(bad);
    EXPECT_FALSE(c.Start()) << bad;
  }
  EXPECT_TRUE(a.Close());
  EXPECT_TRUE(a.Close());
}

TEST(ServerLifecycle, InterruptEndsALongPollPass) {
  Tarnwick s;
  s.Init("0");
  ASSERT_TRUE(s.Start());
  std::thread t([&] { s.PollOnce(3600 * 1000); });
  s.Interrupt();
  t.join();  // would hang for an hour if Interrupt were lost
  s.Close();
}

TEST(ServerLifecycle, CloseDropsOpenConnections) {
  Tarnwick s;
  s.Init("0");
  ASSERT_TRUE(s.Start());
  test::RawClient c(s.BoundPort());
  s.PollOnce(50);
  s.Close();
  EXPECT_TRUE(c.Closed());
}

TEST(ServerLifecycle, FirstRegistrationWins) {
  Tarnwick s;
  s.AddHandler("/FirstWins", [](std::string, const mg_str*, mg_connection* c, ReplySender r) {
    r(c, "first");
    return true;
  });
  s.AddHandler("/FirstWins", [](std::string, const mg_str*, mg_connection* c, ReplySender r) {
    r(c, "second");
    return true;
  });
  mg_connection c;
  HandlerTable().at("/FirstWins")("/FirstWins", nullptr, &c, SendReply);
  EXPECT_NE(c.Pending().find("first"), std::string::npos);
}

}  // namespace
