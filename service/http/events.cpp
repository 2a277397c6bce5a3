#include "events.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <mutex>

namespace events {
namespace {

constexpr std::array<const char*, kTopicCount> kTopicNames = {"device", "card", "key", "confirm", "pen"};
// How soon a browser's EventSource comes back after the connection drops.
constexpr char kRetryHint[] = "retry: 1000\n\n";

struct HistoryEntry {
  uint64_t id;
  Topic topic;
  std::string frame;
};

// Ids go on from the time the service started, so that an id of an earlier run is smaller than
// every one of this run: a client that comes back after a restart gets all it missed. A million
// per second of difference, and well inside what JavaScript counts exactly.
uint64_t FirstId() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count()) * 1000000;
}

struct Hub {
  std::mutex mutex;
  uint64_t lastId = FirstId();
  std::deque<HistoryEntry> history;
  std::vector<Stream*> streams;
  std::function<void(const Interest&)> listener;
  std::array<std::function<std::vector<std::string>()>, kTopicCount> snapshots;
};

Hub& TheHub() {
  static Hub* const hub = new Hub();  // streams may close while the process exits
  return *hub;
}

Interest InterestOf(const std::vector<Stream*>& streams) {
  Interest interest;
  bool card = false;
  for (const Stream* s : streams) {
    const Request& r = s->Asked();
    for (size_t t = 0; t < kTopicCount; ++t) {
      if (r.topics & Bit(static_cast<Topic>(t))) ++interest.streams[t];
    }
    if (r.topics & Bit(Topic::Card)) {
      interest.periodMs = card ? std::min(interest.periodMs, r.periodMs) : r.periodMs;
      card = true;
      interest.cardPorts.push_back(r.cardPort);
    }
  }
  std::sort(interest.cardPorts.begin(), interest.cardPorts.end());
  interest.cardPorts.erase(std::unique(interest.cardPorts.begin(), interest.cardPorts.end()), interest.cardPorts.end());
  return interest;
}

void TellListener() {
  Hub& hub = TheHub();
  std::function<void(const Interest&)> listener;
  Interest interest;
  {
    std::lock_guard<std::mutex> lock(hub.mutex);
    listener = hub.listener;
    interest = InterestOf(hub.streams);
  }
  if (listener) listener(interest);
}

}  // namespace

const char* TopicName(Topic topic) { return kTopicNames[static_cast<size_t>(topic)]; }

TopicSet ParseTopics(std::string_view list) {
  TopicSet topics = 0;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view name = list.substr(0, comma);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    for (size_t t = 0; t < kTopicCount; ++t) {
      if (name == kTopicNames[t]) topics |= Bit(static_cast<Topic>(t));
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return topics != 0 ? topics : kDefaultTopics;
}

std::string Frame(uint64_t id, Topic topic, std::string_view json) {
  std::string frame;
  frame.reserve(json.size() + 40);
  if (id != 0) frame.append("id: ").append(std::to_string(id)).push_back('\n');
  frame.append("event: ").append(TopicName(topic)).append("\ndata: ");
  // A line break would end the data line; the JSON texts of the sources carry none, and any
  // that slipped in must not split the frame.
  for (char ch : json) frame.push_back(ch == '\n' || ch == '\r' ? ' ' : ch);
  frame.append("\n\n");
  return frame;
}

Stream::~Stream() {
  Hub& hub = TheHub();
  {
    std::lock_guard<std::mutex> lock(hub.mutex);
    hub.streams.erase(std::remove(hub.streams.begin(), hub.streams.end(), this), hub.streams.end());
  }
  TellListener();
}

std::string Stream::Attach(std::function<void(const std::string& bytes)> send) {
  std::lock_guard<std::mutex> lock(TheHub().mutex);
  send_ = std::move(send);
  return std::move(kept_);
}

std::unique_ptr<Stream> Open(const Request& request) {
  Hub& hub = TheHub();
  std::unique_ptr<Stream> stream;
  std::array<std::function<std::vector<std::string>()>, kTopicCount> snapshots;
  {
    std::lock_guard<std::mutex> lock(hub.mutex);
    if (hub.streams.size() >= kMaxStreams) return nullptr;
    snapshots = hub.snapshots;
  }
  // Snapshots ask the sources for their state, which may take their own locks: not under ours.
  std::string first = kRetryHint;
  for (size_t t = 0; t < kTopicCount; ++t) {
    if (!(request.topics & Bit(static_cast<Topic>(t))) || !snapshots[t]) continue;
    for (const std::string& json : snapshots[t]()) first += Frame(0, static_cast<Topic>(t), json);
  }
  {
    std::lock_guard<std::mutex> lock(hub.mutex);
    if (hub.streams.size() >= kMaxStreams) return nullptr;
    stream.reset(new Stream(request));
    stream->kept_ = std::move(first);
    // A client that comes back gets what it missed; an id from before this service started (or
    // from the future) is not one of ours, and every event kept is news to it.
    const uint64_t after = request.lastEventId <= hub.lastId ? request.lastEventId : 0;
    if (request.lastEventId != 0) {
      for (const HistoryEntry& e : hub.history) {
        if (e.id > after && (request.topics & Bit(e.topic))) stream->kept_ += e.frame;
      }
    }
    hub.streams.push_back(stream.get());
  }
  TellListener();
  return stream;
}

size_t OpenStreams() {
  std::lock_guard<std::mutex> lock(TheHub().mutex);
  return TheHub().streams.size();
}

uint64_t Publish(Topic topic, std::string_view json) {
  Hub& hub = TheHub();
  std::lock_guard<std::mutex> lock(hub.mutex);
  const uint64_t id = ++hub.lastId;
  std::string frame = Frame(id, topic, json);
  for (Stream* s : hub.streams) {
    if (!(s->Asked().topics & Bit(topic))) continue;
    if (s->send_) {
      s->send_(frame);
    } else {
      s->kept_ += frame;
    }
  }
  hub.history.push_back({id, topic, std::move(frame)});
  if (hub.history.size() > kHistory) hub.history.pop_front();
  return id;
}

bool Interest::operator==(const Interest& o) const {
  return std::equal(std::begin(streams), std::end(streams), std::begin(o.streams)) && periodMs == o.periodMs &&
         cardPorts == o.cardPorts;
}

Interest CurrentInterest() {
  std::lock_guard<std::mutex> lock(TheHub().mutex);
  return InterestOf(TheHub().streams);
}

void SetInterestListener(std::function<void(const Interest&)> listener) {
  std::lock_guard<std::mutex> lock(TheHub().mutex);
  TheHub().listener = std::move(listener);
}

void SetSnapshot(Topic topic, std::function<std::vector<std::string>()> snapshot) {
  std::lock_guard<std::mutex> lock(TheHub().mutex);
  TheHub().snapshots[static_cast<size_t>(topic)] = std::move(snapshot);
}

void ResetForTesting() {
  Hub& hub = TheHub();
  std::lock_guard<std::mutex> lock(hub.mutex);
  hub.lastId = 0;
  hub.history.clear();
  hub.listener = nullptr;
  for (auto& s : hub.snapshots) s = nullptr;
}

}  // namespace events
