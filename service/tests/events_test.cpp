// The event hub, the stream over real loopback connections, and the sources that feed it.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/event_sources.h"
#include "http/event_routes.h"
#include "http/events.h"
#include "http/http.h"
#include "platform/sim.h"
#include "raw_client.h"
#include "sim/reader.h"

namespace {

using namespace std::chrono_literals;
using events::Topic;

template <class Done>
bool Eventually(Done done) {
  for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(10ms);
  return done();
}

class EventsHub : public ::testing::Test {
 protected:
  void SetUp() override { events::ResetForTesting(); }
  void TearDown() override { events::ResetForTesting(); }
};

TEST_F(EventsHub, ReadsTopicLists) {
  const struct {
    const char* list;
    events::TopicSet topics;
  } rows[] = {
      {"card", events::Bit(Topic::Card)},
      {"device, key", events::Bit(Topic::Device) | events::Bit(Topic::Key)},
      {"card,nonsense,confirm", events::Bit(Topic::Card) | events::Bit(Topic::Confirm)},
      {"pen,confirm", events::Bit(Topic::Pen) | events::Bit(Topic::Confirm)},
      {"", events::kDefaultTopics},
      {"nonsense", events::kDefaultTopics},
      {"CARD", events::kDefaultTopics},  // names are lower case
  };
  for (const auto& r : rows) EXPECT_EQ(events::ParseTopics(r.list), r.topics) << r.list;
}

TEST_F(EventsHub, AnEventStaysOneFrameWhateverItsData) {
  EXPECT_EQ(events::Frame(7, Topic::Card, R"({"port":1001})"), "id: 7\nevent: card\ndata: {\"port\":1001}\n\n");
  EXPECT_EQ(events::Frame(0, Topic::Device, "{\"a\":\"x\r\ny\"}"), "event: device\ndata: {\"a\":\"x  y\"}\n\n");
}

TEST_F(EventsHub, AReturningClientGetsWhatItMissedOfItsTopics) {
  events::Publish(Topic::Card, "{\"n\":1}");
  events::Publish(Topic::Key, "{\"n\":2}");
  events::Publish(Topic::Card, "{\"n\":3}");
  const struct {
    uint64_t lastId;
    events::TopicSet topics;
    std::vector<std::string> ids;
  } rows[] = {
      {0, events::kAllTopics, {}},                            // a new client: only what comes
      {1, events::kAllTopics, {"id: 2", "id: 3"}},            // missed two
      {1, events::Bit(Topic::Card), {"id: 3"}},               // of its own topics only
      {3, events::kAllTopics, {}},                            // missed nothing
      {99, events::kAllTopics, {"id: 1", "id: 2", "id: 3"}},  // an id of an earlier run
  };
  for (const auto& r : rows) {
    events::Request request;
    request.lastEventId = r.lastId;
    request.topics = r.topics;
    auto stream = events::Open(request);
    ASSERT_TRUE(stream);
    const std::string kept = stream->Attach([](const std::string&) {});
    std::vector<std::string> ids;
    for (size_t at = kept.find("id: "); at != std::string::npos; at = kept.find("id: ", at + 1)) {
      ids.push_back(kept.substr(at, kept.find('\n', at) - at));
    }
    EXPECT_EQ(ids, r.ids) << r.lastId;
    EXPECT_EQ(kept.rfind("retry: 1000\n\n", 0), 0u);
  }
}

TEST_F(EventsHub, HistoryAndStreamsAreBounded) {
  for (size_t i = 0; i < events::kHistory + 10; ++i) events::Publish(Topic::Key, "{}");
  events::Request request;
  request.lastEventId = 1;
  std::vector<std::unique_ptr<events::Stream>> streams;
  streams.push_back(events::Open(request));
  const std::string kept = streams[0]->Attach([](const std::string&) {});
  size_t frames = 0;
  for (size_t at = kept.find("event: "); at != std::string::npos; at = kept.find("event: ", at + 1)) ++frames;
  EXPECT_EQ(frames, events::kHistory);
  while (streams.size() < events::kMaxStreams) streams.push_back(events::Open({}));
  EXPECT_EQ(events::Open({}), nullptr);
  streams.pop_back();
  EXPECT_NE(events::Open({}), nullptr);
}

TEST_F(EventsHub, SourcesLearnWhatTheOpenStreamsAskFor) {
  std::vector<events::Interest> told;
  events::SetInterestListener([&](const events::Interest& i) { told.push_back(i); });
  events::Request slow, fast, keys;
  slow.topics = fast.topics = events::Bit(Topic::Card);
  slow.periodMs = 500;
  slow.cardPort = 1002;
  fast.periodMs = 200;
  keys.topics = events::Bit(Topic::Key);
  keys.periodMs = 100;  // not a card stream: its period does not count
  auto a = events::Open(slow), b = events::Open(fast), c = events::Open(keys);
  const events::Interest now = events::CurrentInterest();
  EXPECT_EQ(now.periodMs, 200u);
  EXPECT_EQ(now.cardPorts, (std::vector<int>{1001, 1002}));
  EXPECT_TRUE(now.Wants(Topic::Key));
  EXPECT_FALSE(now.Wants(Topic::Device));
  a.reset(), b.reset(), c.reset();
  ASSERT_EQ(told.size(), 6u);
  EXPECT_EQ(told.back(), events::Interest());
}

// A server with the event routes and the sources over a simulated reader.
class EventStream : public ::testing::Test {
 protected:
  void SetUp() override {
    events::ResetForTesting();
    server_.Init("0");
    server_.AddHandler("/Local/Events", handle_Local_Events);
    server_.AddHandler("/Local/Simulate", handle_Local_Simulate, Family::Signature);
    ASSERT_TRUE(server_.Start());
    polling_.emplace(server_);
    sources_.emplace(server_);
  }
  void TearDown() override {
    sources_.reset();
    polling_.reset();
    server_.Close();
    SetAccessPolicy({});
    events::ResetForTesting();
  }
  std::unique_ptr<test::RawClient> Open(const std::string& query, const std::string& headers = "") {
    auto c = std::make_unique<test::RawClient>(server_.BoundPort());
    c->Send("GET /Local/Events" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    return c;
  }
  // The next frame of `c` that is not a snapshot.
  static std::string NextEvent(test::RawClient& c) {
    for (;;) {
      std::string frame = c.ReadHead();
      if (frame.rfind("id: ", 0) == 0) return frame;
    }
  }

  sim::ScopedReaders readers_;
  Tarnwick server_;
  std::optional<test::PollingThread> polling_;
  std::optional<EventSources> sources_;
};

TEST_F(EventStream, EventsReachTheClientUntilItLeaves) {
  auto c = Open("?topics=device");
  const std::string head = c->ReadHead();
  EXPECT_NE(head.find("HTTP/1.1 200 OK\r\n"), std::string::npos);
  EXPECT_NE(head.find("Content-Type: text/event-stream\r\n"), std::string::npos);
  EXPECT_NE(head.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
  EXPECT_EQ(head.find("Content-Length"), std::string::npos);
  EXPECT_EQ(c->ReadHead(), "retry: 1000\n\n");
  EXPECT_EQ(
      c->ReadHead(),
      "event: device\ndata: {\"family\":\"idcard\",\"present\":true,\"model\":\"TW-R100\",\"snapshot\":true}\n\n");
  EXPECT_EQ(test::Body(test::Get(server_.BoundPort(), "/Local/Simulate?device=terminal&action=unplug")),
            "{\"return\":0}\n");
  EXPECT_EQ(NextEvent(*c), "id: 1\nevent: device\ndata: {\"family\":\"terminal\",\"present\":false}\n\n");
  c.reset();
  EXPECT_TRUE(Eventually([] { return events::OpenStreams() == 0; }));
}

TEST_F(EventStream, StreamsPastTheBoundAndForeignPagesGetNone) {
  std::vector<std::unique_ptr<test::RawClient>> open;
  for (size_t i = 0; i < events::kMaxStreams; ++i) {
    open.push_back(Open("?topics=key"));
    open.back()->ReadHead();
  }
  const std::string refused = Open("?topics=key")->ReadHead();
  EXPECT_EQ(refused.rfind("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 5\r\n", 0), 0u) << refused;
  open.clear();
  ASSERT_TRUE(Eventually([] { return events::OpenStreams() == 0; }));

  SetAccessPolicy({{"https://counter.example"}});
  const std::string foreign = Open("", "Origin: https://evil.example\r\n")->ReadAnswer();
  EXPECT_EQ(foreign.find("event-stream"), std::string::npos);
  EXPECT_EQ(foreign.find("Access-Control-Allow-Origin"), std::string::npos);
  // Browsers leave Origin out of a no-cors GET; the site header still tells.
  const std::string noCors = Open("", "Sec-Fetch-Site: cross-site\r\n")->ReadAnswer();
  EXPECT_EQ(noCors.find("event-stream"), std::string::npos);
  EXPECT_EQ(events::OpenStreams(), 0u);
}

TEST_F(EventStream, AClientThatNeverReadsIsDropped) {
  auto c = Open("?topics=key");
  c->ReadHead();
  ASSERT_TRUE(Eventually([] { return events::OpenStreams() == 1; }));
  const std::string big = "{\"pad\":\"" + std::string(64 * 1024, 'x') + "\"}";
  // Socket buffers take some megabytes; the server's own backlog a quarter of one.
  for (int i = 0; i < 400 && events::OpenStreams() > 0; ++i) {
    events::Publish(Topic::Key, big);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(Eventually([] { return events::OpenStreams() == 0; }));
  EXPECT_TRUE(Eventually([&] { return server_.Connections() == 0; }));
}

TEST_F(EventStream, ACardPlacedAndTakenIsToldAndNothingPollsOnceTheStreamCloses) {
  auto c = Open("?topics=card&period=100&port=1001");
  EXPECT_EQ(NextEvent(*c).substr(4), "1\nevent: card\ndata: {\"port\":1001,\"present\":true}\n\n");
  readers_.hid->firmware.cardPresent = false;
  EXPECT_NE(NextEvent(*c).find("{\"port\":1001,\"present\":false}"), std::string::npos);
  readers_.hid->firmware.cardPresent = true;
  EXPECT_NE(NextEvent(*c).find("{\"port\":1001,\"present\":true}"), std::string::npos);
  c.reset();
  ASSERT_TRUE(Eventually([] { return events::OpenStreams() == 0; }));
  std::this_thread::sleep_for(300ms);  // a poll already on the lane finishes
  const unsigned before = readers_.hid->outputReports;
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(readers_.hid->outputReports, before);
}

TEST_F(EventStream, TheSimulationRouteKnowsItsDevicesAndActions) {
  const struct {
    const char* query;
    int result;
  } rows[] = {
      {"device=idcard&action=remove", 0},
      {"device=idcard&action=place", 0},
      {"device=usbkey&action=unplug", 0},
      {"device=usbkey&action=plug", 0},
      {"device=terminal&action=unplug", 0},
      {"device=terminal&action=plug", 0},
      {"device=signature&action=confirm", -1},  // no capture program: no key to press
      {"device=idcard&action=confirm", -1},
      {"device=usbkey&action=place", -1},
      {"device=toaster&action=plug", -1},
      {"device=idcard&action=", -1},
      {"", -1},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(test::Body(test::Get(server_.BoundPort(), std::string("/Local/Simulate?") + r.query)),
              "{\"return\":" + std::to_string(r.result) + "}\n")
        << r.query;
  }
}

TEST(DeviceFamilies, NotifiedDevicesAreKnownByTheirIds) {
  using platform::device_watch::Change;
  auto usb = [](uint16_t v, uint16_t p) {
    Change c;
    c.vendorId = v;
    c.productId = p;
    return c;
  };
  Change disk;
  disk.vendorName = "Vennick";
  disk.model = "QRM-417B";
  Change otherDisk = disk;
  otherDisk.vendorName = "Generic";
  const struct {
    Change change;
    std::optional<Family> family;
  } rows[] = {
      {usb(0x2796, 0x1001), Family::IdCard},
      {usb(0x2796, 0x1002), Family::IdCard},
      {usb(0x2796, 0x1003), std::nullopt},
      {usb(0x0B57, 0x8816), Family::Signature},
      {usb(0x735F, 0x542B), Family::Terminal},
      {usb(0x046D, 0xC52B), std::nullopt},
      {disk, Family::Terminal},
      {otherDisk, std::nullopt},
  };
  for (const auto& r : rows) {
    const auto found = DeviceFamilyOf(r.change);
    EXPECT_EQ(found ? std::optional<Family>(found->family) : std::nullopt, r.family) << r.change.vendorId;
  }
  EXPECT_EQ(DeviceFamilyOf(disk)->model, "QRM-417B");
}

}  // namespace
