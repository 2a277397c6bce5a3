// Device families served on lanes of their own, over real loopback connections.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/http.h"
#include "http/local_routes.h"
#include "raw_client.h"

namespace {

using namespace std::chrono_literals;

// Holds the handlers that pass it until opened; counts and names what ran, and on which thread.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int entered = 0;
  int left = 0;
  std::vector<std::string> served;
  std::vector<std::thread::id> threads;

  void Pass(const std::string& name) {
    std::unique_lock<std::mutex> lock(mutex);
    ++entered;
    served.push_back(name);
    threads.push_back(std::this_thread::get_id());
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
    ++left;
    changed.notify_all();
  }
  void Open() {
    const std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  bool AwaitEntered(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 20s, [&] { return entered >= n; });
  }
  bool AwaitLeft(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 20s, [&] { return left >= n; });
  }
  std::vector<std::string> Served() {
    const std::lock_guard<std::mutex> lock(mutex);
    return served;
  }
};

Gate* g_gate = nullptr;

// "/Lane/Held?id=X" waits at the gate on the signature lane; "/Lane/Card?id=X" passes an open
// gate on the ID-card lane.
bool Held(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  char id[16];
  mg_get_http_var(params, "id", id, sizeof id);
  g_gate->Pass(id);
  reply(c, id);
  return true;
}

class Lanes : public ::testing::Test {
 protected:
  void SetUp() override {
    g_gate = &gate_;
    Open();
  }
  void TearDown() override {
    gate_.Open();
    polling_.reset();
    server_.Close();
    g_gate = nullptr;
  }
  void Open(const Tarnwick::Limits& limits = {}) {
    server_.Init("0");
    server_.SetLimits(limits);
    server_.AddHandler("/Lane/Held", Held, Family::Signature);
    server_.AddHandler("/Lane/Card", Held, Family::IdCard);
    server_.AddHandler("/test", handle_test);
    ASSERT_TRUE(server_.Start());
    polling_.emplace(server_);
  }
  void Reopen(const Tarnwick::Limits& limits) {
    polling_.reset();
    server_.Close();
    Open(limits);
  }
  std::unique_ptr<test::RawClient> Send(const std::string& target) {
    auto c = std::make_unique<test::RawClient>(server_.BoundPort());
    c->Send("GET " + target + " HTTP/1.1\r\nHost: x\r\nOrigin: http://page.example\r\n\r\n");
    return c;
  }
  std::string Get(const std::string& target) { return test::Get(server_.BoundPort(), target); }
  template <class Done>
  static bool Eventually(Done done) {
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(10ms);
    return done();
  }

  Gate gate_;
  Tarnwick server_;
  std::optional<test::PollingThread> polling_;
};

TEST_F(Lanes, AHangingDeviceHoldsUpOnlyItsOwnFamily) {
  const auto signing = Send("/Lane/Held?id=sign");
  ASSERT_TRUE(gate_.AwaitEntered(1));
  // The ID-card lane and the I/O thread answer while the signature lane waits.
  std::thread opener([&] {
    gate_.AwaitEntered(2);
    gate_.Open();
  });
  EXPECT_EQ(test::Body(Get("/Lane/Card?id=card1")), "card1\n");
  opener.join();
  EXPECT_EQ(test::Body(Get("/test")), "{\"return\":0}\n");
  EXPECT_EQ(test::Body(signing->ReadAnswer()), "sign\n");
  EXPECT_EQ(test::Body(Get("/Lane/Card?id=card2")), "card2\n");
  // A family always runs on its own one thread, and never on the caller's.
  const std::vector<std::thread::id> threads = gate_.threads;
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_NE(threads[0], threads[1]);
  EXPECT_EQ(threads[1], threads[2]);
  EXPECT_NE(threads[0], std::this_thread::get_id());
}

TEST_F(Lanes, PipelinedRequestsOfAFamilyAreAnsweredInOrder) {
  gate_.Open();
  test::RawClient c(server_.BoundPort());
  c.Send(
      "GET /Lane/Card?id=1 HTTP/1.1\r\nHost: x\r\n\r\nGET /test HTTP/1.1\r\nHost: x\r\n\r\n"
      "POST /Lane/Card HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nid=3");
  EXPECT_EQ(test::Body(c.ReadAnswer()), "1\n");
  EXPECT_EQ(test::Body(c.ReadAnswer()), "{\"return\":0}\n");
  EXPECT_EQ(test::Body(c.ReadAnswer()), "3\n");
}

TEST_F(Lanes, PastTheQueueBoundARequestGets503AtOnceAndKeepsItsConnection) {
  Tarnwick::Limits limits;
  limits.laneQueue = 2;
  Reopen(limits);
  const auto running = Send("/Lane/Held?id=run");
  ASSERT_TRUE(gate_.AwaitEntered(1));
  const auto waiting1 = Send("/Lane/Held?id=w1");
  const auto waiting2 = Send("/Lane/Held?id=w2");
  ASSERT_TRUE(Eventually([&] { return server_.Waiting(Family::Signature) == 2; }));
  const auto over = Send("/Lane/Held?id=over");
  const std::string busy = over->ReadHead();
  EXPECT_EQ(busy.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << busy;
  // A page may read why: the policy lets every origin in.
  EXPECT_NE(busy.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos) << busy;
  over->Send("GET /test HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(test::Body(over->ReadAnswer()), "{\"return\":0}\n");
  gate_.Open();
  EXPECT_EQ(test::Body(waiting2->ReadAnswer()), "w2\n");
  EXPECT_EQ(gate_.Served(), (std::vector<std::string>{"run", "w1", "w2"}));
}

TEST_F(Lanes, ARequestWhoseClientLeftIsNeverServed) {
  const auto running = Send("/Lane/Held?id=run");
  ASSERT_TRUE(gate_.AwaitEntered(1));
  auto leaving = Send("/Lane/Held?id=gone");
  ASSERT_TRUE(Eventually([&] { return server_.Waiting(Family::Signature) == 1; }));
  leaving.reset();
  ASSERT_TRUE(Eventually([&] { return server_.Connections() == 1; })) << server_.Connections();
  gate_.Open();
  EXPECT_EQ(test::Body(running->ReadAnswer()), "run\n");
  EXPECT_EQ(test::Body(Get("/Lane/Held?id=next")), "next\n");
  EXPECT_EQ(gate_.Served(), (std::vector<std::string>{"run", "next"}));
}

TEST_F(Lanes, AnotherSitesRequestIsRefusedWithoutWaitingForTheLane) {
  SetAccessPolicy({{"https://counter.example"}});
  const auto running = Send("/Lane/Held?id=run");  // Origin http://page.example: refused at once
  const std::string refused = running->ReadAnswer();
  EXPECT_EQ(refused.find("Access-Control-Allow-Origin"), std::string::npos) << refused;
  test::RawClient counter(server_.BoundPort());
  counter.Send("GET /Lane/Held?id=counter HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://counter.example\r\n\r\n");
  ASSERT_TRUE(gate_.AwaitEntered(1));
  // The lane is held; another site's request still gets its refusal from the I/O thread.
  EXPECT_EQ(Send("/Lane/Held?id=foreign")->ReadAnswer(), refused);
  SetAccessPolicy({});
  gate_.Open();
  EXPECT_EQ(test::Body(counter.ReadAnswer()), "counter\n");
  EXPECT_EQ(gate_.Served(), std::vector<std::string>{"counter"});
}

// Close waits for a running handler up to the stop bound and drops the waiting requests.
TEST_F(Lanes, StopWaitsForRunningHandlersOnlyUpToItsBound) {
  struct Case {
    std::chrono::milliseconds bound;
    bool handlerReturns;  // the gate opens while Close waits
    bool closed;
  };
  for (const Case& k : {Case{20s, true, true}, Case{50ms, false, false}}) {
    Gate gate;
    g_gate = &gate;
    Tarnwick::Limits limits;
    limits.stopWait = k.bound;
    Reopen(limits);
    const auto running = Send("/Lane/Held?id=run");
    ASSERT_TRUE(gate.AwaitEntered(1));
    const auto waiting = Send("/Lane/Held?id=wait");
    ASSERT_TRUE(Eventually([&] { return server_.Waiting(Family::Signature) == 1; }));
    polling_.reset();
    std::optional<std::thread> opener;
    if (k.handlerReturns)
      opener.emplace([&] {
        std::this_thread::sleep_for(100ms);
        gate.Open();
      });
    EXPECT_EQ(server_.Close(), k.closed) << k.bound.count();
    if (opener) opener->join();
    gate.Open();
    ASSERT_TRUE(gate.AwaitLeft(1));  // the gate outlives the handler that waited at it
    EXPECT_EQ(waiting->ReadToEnd(), "");
    EXPECT_EQ(gate.Served(), std::vector<std::string>{"run"});
    g_gate = &gate_;
  }
}

}  // namespace
