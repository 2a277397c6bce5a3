#include "event_sources.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "UsbKey.h"
#include "http/events.h"
#include "http/json.h"
#include "idcard/reader_family.h"
#include "platform/dynlib.h"
#include "platform/sim.h"
#include "platform/usbtree.h"
#include "signature/signature_routes.h"
#include "tw/log.h"
#include "vnsdtapi.h"

namespace {

using Clock = std::chrono::steady_clock;
using events::Topic;

// The key library's ready check costs a round trip to the key; people take a second or so to
// insert one.
constexpr auto kKeyPeriod = std::chrono::milliseconds(500);
// Following the pen: a page draws the strokes as they come, at most 50 times a second. The
// confirm key alone needs less. Without a capture program there is nothing to follow until a
// page opens the pad.
constexpr auto kPenPeriod = std::chrono::milliseconds(20);
constexpr auto kConfirmPeriod = std::chrono::milliseconds(100);
constexpr auto kNoPadPeriod = std::chrono::milliseconds(500);
// As many points as the capture program keeps; a late stream gets them 4096 at a time.
constexpr size_t kPenKept = 65536;
constexpr size_t kPenSnapshotPiece = 4096;
// The families a page may see come and go, in the order of their snapshot.
constexpr std::array<Family, 4> kDeviceFamilies = {Family::IdCard, Family::Signature, Family::Terminal, Family::UsbKey};

struct UsbIdentity {
  uint16_t vendor, product;
  Family family;
};
// This system's readers, the signature tablets and the card terminal's HID guise.
constexpr UsbIdentity kUsbIdentities[] = {
    {0x2796, 0x1001, Family::IdCard},    {0x2796, 0x1002, Family::IdCard},    {0x0B57, 0x8420, Family::Signature},
    {0x0B57, 0x8421, Family::Signature}, {0x0B57, 0x8816, Family::Signature}, {0x735F, 0x542B, Family::Terminal},
};
// The card terminal's disk guise: the vendor its inquiry data gives.
constexpr char kTerminalDiskVendor[] = "Vennick";

enum class Presence { Unknown, Absent, Present };

std::string DeviceEvent(Family family, Presence presence, const std::string& model, bool snapshot) {
  json::Object o;
  o.Add("family", json::Quoted(FamilyName(family)));
  if (presence == Presence::Unknown) {
    o.Add("present", json::Raw("null"));
  } else {
    o.Add("present", presence == Presence::Present);
  }
  if (!model.empty()) o.Add("model", json::Quoted(model));
  if (snapshot) o.Add("snapshot", true);
  return o.Text();
}

// What a stand-in's "present" control takes for "as the simulation has it".
constexpr int kAsSimulated = 0x7FFFFFFF;

// A library's simulation control, looked up by name: a vendor's library has none, and with it
// the simulation route has nothing to move.
using SimControl = void(TW_STDCALL*)(const char*, int);
SimControl FindControl(const char* library, const char* symbol) {
  return reinterpret_cast<SimControl>(platform::LoadedSymbol(library, symbol));
}

}  // namespace

std::optional<NotifiedDevice> DeviceFamilyOf(const platform::device_watch::Change& change) {
  for (const UsbIdentity& id : kUsbIdentities) {
    if (id.vendor == change.vendorId && id.product == change.productId) return NotifiedDevice{id.family, {}};
  }
  if (change.vendorId == 0 && change.vendorName == kTerminalDiskVendor) {
    return NotifiedDevice{Family::Terminal, change.model};
  }
  return std::nullopt;
}

struct EventSources::Impl : std::enable_shared_from_this<EventSources::Impl> {
  explicit Impl(Tarnwick& s) : server(s) {}

  Tarnwick& server;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  events::Interest interest;
  std::thread thread;

  // One periodic check on a family's lane; each returns when the next is due.
  enum class Check { Cards, Key, Pad };
  struct Poll {
    Family family;
    Check check;
    bool active = false;
    bool running = false;  // queued on its lane or running there
    Clock::time_point due{};
  };
  Poll card{Family::IdCard, Check::Cards};
  Poll key{Family::UsbKey, Check::Key};
  Poll pad{Family::Signature, Check::Pad};
  bool deviceStart = false;  // a device stream appeared: enumerate and start the watch
  std::unique_ptr<platform::device_watch::Watch> watch;

  // Per family: what the service last learnt, and the model where known.
  struct Device {
    Presence presence = Presence::Unknown;
    std::string model;
  };
  std::array<Device, kFamilyCount> devices;
  // Card polling: the last state per port (absent from the map: not polled yet). The key's.
  std::map<int, bool> cards;
  Presence keyPresence = Presence::Unknown;
  // The pen's record as followed so far: its generation (none yet: a new follower sends what is
  // there already), the next index, and the confirm flag last seen.
  std::optional<uint32_t> penGeneration;
  uint64_t penNext = 0;
  // The points told so far, for streams that come later; emptied with the record, never written
  // anywhere.
  std::vector<signature::PenPoint> penKept;
  bool confirmed = false;

  void Start() {
    if (platform::SimulationEnabled()) {
      // Every simulated device is there from the start; the simulation route moves them.
      for (Family f : kDeviceFamilies) devices[static_cast<size_t>(f)].presence = Presence::Present;
      devices[static_cast<size_t>(Family::IdCard)].model = "TW-R100";
    }
    std::weak_ptr<Impl> weak = shared_from_this();
    events::SetSnapshot(Topic::Device, [weak] {
      auto self = weak.lock();
      return self ? self->Snapshot() : std::vector<std::string>();
    });
    events::SetSnapshot(Topic::Pen, [weak] {
      auto self = weak.lock();
      return self ? self->PenSnapshot() : std::vector<std::string>();
    });
    events::SetInterestListener([weak](const events::Interest& i) {
      if (auto self = weak.lock()) self->OnInterest(i);
    });
    thread = std::thread([self = shared_from_this()] { self->Run(); });
  }

  void Stop() {
    events::SetInterestListener(nullptr);
    events::SetSnapshot(Topic::Device, nullptr);
    events::SetSnapshot(Topic::Pen, nullptr);
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
    watch.reset();
  }

  std::vector<std::string> Snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    for (Family f : kDeviceFamilies) {
      const Device& d = devices[static_cast<size_t>(f)];
      out.push_back(DeviceEvent(f, d.presence, d.model, true));
    }
    return out;
  }

  // Records what is now known of a family's device; a change is published.
  void SetPresence(Family family, Presence presence, const std::string& model) {
    std::string event;
    {
      std::lock_guard<std::mutex> lock(mutex);
      Device& d = devices[static_cast<size_t>(family)];
      if (!model.empty()) d.model = model;
      if (d.presence == presence) return;
      d.presence = presence;
      event = DeviceEvent(family, presence, d.model, false);
    }
    events::Publish(Topic::Device, event);
  }

  void OnInterest(const events::Interest& now) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      const auto at = Clock::now();
      if (now.Wants(Topic::Card) && !card.active) {
        card.due = at;
        cards.clear();
      }
      if (now.Wants(Topic::Key) && !key.active) {
        key.due = at;
        keyPresence = Presence::Unknown;
      }
      const bool padWanted = now.Wants(Topic::Pen) || now.Wants(Topic::Confirm);
      if (padWanted && !pad.active) {
        pad.due = at;
        penGeneration.reset();
        penNext = 0;
        confirmed = false;
      }
      if (!now.Wants(Topic::Pen)) penKept.clear();
      card.active = now.Wants(Topic::Card);
      key.active = now.Wants(Topic::Key);
      pad.active = padWanted;
      if (now.Wants(Topic::Device) && !interest.Wants(Topic::Device)) deviceStart = true;
      interest = now;
    }
    wake.notify_all();
  }

  // The poller: sleeps until a poll is due or the interest changes; each due poll goes to its
  // family's lane, and the next is due a period after it finished.
  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
      if (deviceStart) {
        deviceStart = false;
        lock.unlock();
        StartDeviceWatch();
        lock.lock();
        continue;
      }
      if (!interest.Wants(Topic::Device) && watch) {
        auto old = std::move(watch);
        lock.unlock();
        old.reset();  // joins the watch's thread, which may be reporting: not under the lock
        lock.lock();
        continue;
      }
      const auto now = Clock::now();
      auto next = Clock::time_point::max();
      for (Poll* p : {&card, &key, &pad}) {
        if (!p->active || p->running) continue;
        if (p->due <= now) Dispatch(*p, now);
        if (!p->running) next = std::min(next, p->due);
      }
      if (next == Clock::time_point::max()) {
        wake.wait(lock);
      } else {
        wake.wait_until(lock, next);
      }
    }
  }

  void Dispatch(Poll& p, Clock::time_point now) {
    p.running = true;
    std::function<void()> job = [self = shared_from_this(), poll = &p] {
      std::chrono::milliseconds next = kNoPadPeriod;
      try {
        switch (poll->check) {
          case Check::Cards:
            next = self->CheckCards();
            break;
          case Check::Key:
            next = self->CheckKey();
            break;
          case Check::Pad:
            next = self->CheckPad();
            break;
        }
      } catch (const std::exception& e) {
        LOG_ERROR("Event poll:{}", e.what());
      }
      std::lock_guard<std::mutex> lock(self->mutex);
      poll->running = false;
      poll->due = Clock::now() + next;
      self->wake.notify_all();
    };
    if (!server.RunOnLane(p.family, job)) {
      // The lane is full of page requests, or stopping: try again a period later.
      p.running = false;
      p.due = now + std::chrono::milliseconds(interest.periodMs);
    }
  }

  // On the ID-card lane.
  std::chrono::milliseconds CheckCards() {
    std::vector<int> ports;
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ports = interest.cardPorts;
      first = cards.empty();
    }
    // A page that has not opened a port yet still gets the family that has a reader.
    if (first) ChooseReaders();
    for (int port : ports) {
      const bool present = ChosenReaders().CardPresent(port);
      {
        std::lock_guard<std::mutex> lock(mutex);
        const auto known = cards.find(port);
        // The first look tells only of a card already there: "no card" is no news.
        if (known == cards.end() ? !present : known->second == present) {
          cards[port] = present;
          continue;
        }
        cards[port] = present;
      }
      events::Publish(Topic::Card, json::Object().Add("port", port).Add("present", present).Text());
    }
    std::lock_guard<std::mutex> lock(mutex);
    return std::chrono::milliseconds(interest.periodMs);
  }

  // On the USB-key lane.
  std::chrono::milliseconds CheckKey() {
    const Presence presence = USBKey_Init_HS() == 1 ? Presence::Present : Presence::Absent;
    {
      std::lock_guard<std::mutex> lock(mutex);
      const Presence before = keyPresence;
      keyPresence = presence;
      if (before == presence || (before == Presence::Unknown && presence == Presence::Absent)) return kKeyPeriod;
    }
    events::Publish(Topic::Key, json::Object().Add("present", presence == Presence::Present).Text());
    SetPresence(Family::UsbKey, presence, {});
    return kKeyPeriod;
  }

  // On the signature lane: the capture program's new points and its confirm flag, through the
  // connection a page opened (never one of its own).
  std::chrono::milliseconds CheckPad() {
    bool pen = false;
    uint64_t from = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      pen = interest.Wants(Topic::Pen);
      from = penNext;
    }
    if (!pen) {
      const int flag = signature::PeekConfirmed();
      if (flag >= 0) NoteConfirmed(flag == 1);
      return flag >= 0 ? kConfirmPeriod : kNoPadPeriod;
    }
    signature::PenPoints piece;
    if (!signature::FetchPoints(from, &piece)) {
      // The program has gone (QuitPMProc, or it died): its strokes go with it.
      bool had = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        had = !penKept.empty();
        penKept.clear();
        penGeneration.reset();
        penNext = 0;
      }
      if (had) events::Publish(Topic::Pen, "{\"clear\":true}");
      return kNoPadPeriod;
    }
    bool cleared = false, again = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (penGeneration != piece.generation) {
        // Cleared since (or never seen): what the record holds now, from its start.
        cleared = penGeneration.has_value();
        penGeneration = piece.generation;
        penNext = 0;
        penKept.clear();
        again = true;
      } else {
        penNext = piece.next;
        penKept.insert(penKept.end(), piece.points.begin(), piece.points.end());
        if (penKept.size() > kPenKept) penKept.erase(penKept.begin(), penKept.end() - kPenKept);
      }
    }
    if (cleared) events::Publish(Topic::Pen, "{\"clear\":true}");
    if (!again && !piece.points.empty()) {
      events::Publish(Topic::Pen, PenEvent(piece.points, piece.from > from ? piece.from - from : 0));
    }
    // After the points: a page that acts on the press has the last of them.
    NoteConfirmed(piece.confirmed);
    if (again) return std::chrono::milliseconds(0);
    return kPenPeriod;  // the pen rests: nothing was told
  }

  // {"points":[...]} with "up" when the pen was lifted last and "missed" when points were lost.
  static std::string PenEvent(const std::vector<signature::PenPoint>& points, uint64_t missed) {
    std::string event = "{\"points\":[";
    for (size_t i = 0; i < points.size(); ++i) {
      if (i > 0) event.push_back(',');
      signature::AppendPointJson(event, points[i]);
    }
    event += "]";
    if (!points.empty() && points.back().p == 0) event += ",\"up\":true";
    if (missed > 0) event += ",\"missed\":" + std::to_string(missed);
    event += "}";
    return event;
  }

  // A stream that starts while the pad is followed gets the strokes so far, in pieces a page
  // takes easily.
  std::vector<std::string> PenSnapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    for (size_t at = 0; at < penKept.size(); at += kPenSnapshotPiece) {
      const auto first = penKept.begin() + static_cast<long>(at);
      const auto last = penKept.begin() + static_cast<long>(std::min(penKept.size(), at + kPenSnapshotPiece));
      out.push_back(PenEvent({first, last}, 0));
    }
    return out;
  }

  // A press is told once; the flag stays up until a page takes it with GetConfirm.
  void NoteConfirmed(bool now) {
    bool pressed = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      pressed = now && !confirmed;
      confirmed = now;
    }
    if (pressed) events::Publish(Topic::Confirm, json::Object().Add("confirmed", true).Text());
  }

  // What is attached now, then every change as the system reports it. Virtual devices raise no
  // notifications: with simulation on, the simulation route reports them.
  void StartDeviceWatch() {
    if (platform::SimulationEnabled()) return;
    std::array<bool, kFamilyCount> seen{};
    platform::usbtree::Walk([&](const platform::usbtree::DeviceId& id) {
      platform::device_watch::Change c;
      c.vendorId = id.vendorId;
      c.productId = id.productId;
      if (auto d = DeviceFamilyOf(c)) seen[static_cast<size_t>(d->family)] = true;
    });
    for (Family f : {Family::IdCard, Family::Signature}) {
      SetPresence(f, seen[static_cast<size_t>(f)] ? Presence::Present : Presence::Absent, {});
    }
    // The terminal may also be a disk, which the walk does not name: only a HID one is known.
    if (seen[static_cast<size_t>(Family::Terminal)]) SetPresence(Family::Terminal, Presence::Present, {});
    std::weak_ptr<Impl> weak = shared_from_this();
    auto started = platform::device_watch::Start([weak](const platform::device_watch::Change& change) {
      auto self = weak.lock();
      const auto device = DeviceFamilyOf(change);
      if (self && device) {
        self->SetPresence(device->family, change.arrived ? Presence::Present : Presence::Absent, device->model);
      }
    });
    if (!started) LOG_ERROR("Device notifications unavailable");
    std::lock_guard<std::mutex> lock(mutex);
    if (!stopping) watch = std::move(started);
  }
};

namespace {
std::mutex g_liveMutex;
std::weak_ptr<EventSources::Impl> g_live;  // for the simulation route
}  // namespace

EventSources::EventSources(Tarnwick& server) : impl_(std::make_shared<Impl>(server)) {
  impl_->Start();
  std::lock_guard<std::mutex> lock(g_liveMutex);
  g_live = impl_;
}

EventSources::~EventSources() {
  {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    g_live.reset();
  }
  impl_->Stop();
}

bool handle_Local_Simulate(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  char device[16] = {}, action[16] = {};
  mg_get_http_var(params, "device", device, sizeof device);
  mg_get_http_var(params, "action", action, sizeof action);
  const std::string_view d(device), a(action);
  const bool plug = a == "plug", unplug = a == "unplug";
  const bool place = a == "place", remove = a == "remove";
  std::shared_ptr<EventSources::Impl> live;
  {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    live = g_live.lock();
  }
  auto presence = [&](Family family) {
    if (live) live->SetPresence(family, plug ? Presence::Present : Presence::Absent, {});
  };
  int result = -1;
  if (d == "idcard" && (plug || unplug)) {
    SimReader_Control("plugged", plug ? 1 : 0);
    if (SimControl jl = FindControl("SDTAPI.dll", "SimJL_Control")) jl("present", plug ? kAsSimulated : 0);
    presence(Family::IdCard);
    result = 0;
  } else if (d == "idcard" && (place || remove)) {
    SimReader_Control("card", place ? 1 : 0);
    if (SimControl jl = FindControl("SDTAPI.dll", "SimJL_Control")) jl("card", place ? 1 : 0);
    result = 0;
  } else if (d == "usbkey" && (plug || unplug)) {
    if (SimControl key = FindControl("UsbKey.dll", "SimUsbKey_Control")) key("present", plug ? kAsSimulated : 0);
    presence(Family::UsbKey);
    result = 0;
  } else if (d == "terminal" && (plug || unplug)) {
    presence(Family::Terminal);
    result = 0;
  } else if (d == "signature" && (plug || unplug)) {
    // The tablet is the capture program's: it goes there too when a page has the pad open.
    signature::SimulationWord(plug ? "SimReplug" : "SimUnplug");
    presence(Family::Signature);
    result = 0;
  } else if (d == "signature" && a == "confirm") {
    // Pressed on the simulated tablet, so that the event comes the way a real press's does;
    // without an open pad there is no key to press.
    result = signature::SimulationWord("SimConfirm") ? 0 : -1;
  }
  reply(c, json::Object().Add("return", result).Text());
  return true;
}
