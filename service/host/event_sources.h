// Where the events of "/Local/Events" come from, each only while a stream asks for its topic:
// - device: the system's device notifications (a reader, a pad or a terminal plugged or
//   unplugged), and the key check below for the USB key; with simulation on, the simulation
//   route instead, since virtual devices raise no notifications;
// - card: the reader's find-card command on each watched port, on the ID-card family's lane, at
//   the shortest period a stream asked for;
// - key: the key library's ready check on the USB-key family's lane.
// Nothing runs while nobody listens: the poller sleeps until a stream asks or a poll is due.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "http/http.h"
#include "platform/device_watch.h"

class EventSources {
 public:
  explicit EventSources(Tarnwick& server);
  // Stops the poller and the device watch; polls still on a lane finish on their own.
  ~EventSources();
  EventSources(const EventSources&) = delete;
  EventSources& operator=(const EventSources&) = delete;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The device family a notified device belongs to, and its model where the device names one.
struct NotifiedDevice {
  Family family;
  std::string model;
};
std::optional<NotifiedDevice> DeviceFamilyOf(const platform::device_watch::Change& change);

// "/Local/Simulate?device=D&action=A", registered only with simulation on: moves the simulated
// devices. {"return":0}, or {"return":-1} for a device or action it does not know.
bool handle_Local_Simulate(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
