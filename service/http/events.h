// What happens at the devices, told to the pages that listen: a hub that numbers each event,
// keeps a bounded history for clients that reconnect, and hands the event's bytes to every open
// stream that asks for its topic. The sources (device notifications, card and key polling, the
// pad's confirm key) learn from the hub which topics are asked for, so that nothing polls while
// nobody listens.
//
// Thread-safe: sources publish from their own threads; streams open and close on the I/O thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace events {

enum class Topic : uint8_t { Device, Card, Key, Confirm, Pen };
inline constexpr size_t kTopicCount = 5;
// "device", "card", "key", "confirm", "pen".
const char* TopicName(Topic topic);
using TopicSet = uint32_t;
constexpr TopicSet Bit(Topic topic) { return TopicSet{1} << static_cast<unsigned>(topic); }
inline constexpr TopicSet kAllTopics = (TopicSet{1} << kTopicCount) - 1;
// What a stream that names no topic gets: all but the pen's points, which a page must ask for
// (following the pen polls the capture program fifty times a second).
inline constexpr TopicSet kDefaultTopics = kAllTopics & ~Bit(Topic::Pen);
// A comma-separated list of topic names; unknown names are left out, and an empty list (or one of
// unknown names only) means the default topics.
TopicSet ParseTopics(std::string_view list);

// Bounds.
inline constexpr size_t kMaxStreams = 32;
inline constexpr size_t kHistory = 256;
inline constexpr unsigned kMinPeriodMs = 100, kDefaultPeriodMs = 300, kMaxPeriodMs = 5000;
inline constexpr int kDefaultCardPort = 1001;

// One event on the wire: "id: N\nevent: T\ndata: J\n\n".
std::string Frame(uint64_t id, Topic topic, std::string_view json);

// Publishes one event (data: a JSON object) to the streams that ask for its topic; its id. Ids
// increase, and those of a later run are greater than those of an earlier one.
uint64_t Publish(Topic topic, std::string_view json);

// What one stream asked for.
struct Request {
  TopicSet topics = kDefaultTopics;
  unsigned periodMs = kDefaultPeriodMs;
  int cardPort = kDefaultCardPort;
  uint64_t lastEventId = 0;  // 0: none
};

// One open stream. Until it is attached, what is published for it is kept; afterwards each
// event's bytes go to `send` at once, on the publisher's thread. Closing (destroying) it tells
// the sources.
class Stream {
 public:
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  // `send` must not block and must not call back into the hub. Returns the bytes kept so far
  // (the stream's first bytes included).
  std::string Attach(std::function<void(const std::string& bytes)> send);
  const Request& Asked() const { return request_; }

 private:
  friend std::unique_ptr<Stream> Open(const Request& request);
  friend uint64_t Publish(Topic topic, std::string_view json);
  explicit Stream(const Request& request) : request_(request) {}
  Request request_;
  std::function<void(const std::string&)> send_;
  std::string kept_;
};

// Opens a stream: its first bytes (the retry hint, the snapshot of the topics that have one, the
// events of the history after `lastEventId`) are kept for Attach. Null when kMaxStreams are open.
std::unique_ptr<Stream> Open(const Request& request);
size_t OpenStreams();

// What the open streams ask for, for the sources.
struct Interest {
  size_t streams[kTopicCount] = {};
  unsigned periodMs = kDefaultPeriodMs;  // the shortest asked for by a stream of topic card
  std::vector<int> cardPorts;            // sorted, distinct
  bool Wants(Topic topic) const { return streams[static_cast<size_t>(topic)] > 0; }
  bool operator==(const Interest& o) const;
  bool operator!=(const Interest& o) const { return !(*this == o); }
};
Interest CurrentInterest();
// Called, outside the hub's lock, after a stream opened or closed. One listener; set at start-up.
void SetInterestListener(std::function<void(const Interest&)> listener);
// The events a new stream of `topic` starts with (the current state: data texts, without ids).
void SetSnapshot(Topic topic, std::function<std::vector<std::string>()> snapshot);

// Tests: ids from 1 again, no history, no listener, no snapshots.
void ResetForTesting();

}  // namespace events
