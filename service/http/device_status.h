// What the service knows about each device family without asking the device: the libraries the
// family uses, the version it reported, whether its device answered the last time a route said
// so, and its last error. Filled from the answers the family's handlers give anyway (a status
// page must not call a device library, which may block), read by the status page and /metrics.
// Thread-safe: each family's handlers run on their own thread while the page reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http.h"

namespace device_status {

enum class Presence : int8_t { Unknown = -1, Absent = 0, Present = 1 };

// How one route's answers speak of its device. Answers carry the device result in "return";
// an answer without one (a text, a picture) is a success.
struct AnswerRule {
  enum class Success : uint8_t { Equal, NonNegative };
  Family family = Family::Local;
  Success success = Success::Equal;
  int successCode = 0;
  // Whether the answer tells if the device is there: success says present, `absentCode` (or,
  // with anyFailureAbsent, every failure) says absent, other failures leave it as it was.
  bool tellsPresence = false;
  bool anyFailureAbsent = false;
  int absentCode = 0;
  // The whole answer is the library's version text.
  bool versionText = false;
};

// Start-up only, before serving: the rule for a route, and the libraries of a family.
void WatchRoute(const std::string& route, const AnswerRule& rule);
void SetLibraries(Family family, std::string_view files);

// After a handler of `route` answered `body`: records what it says. Returns false when the
// answer carries a failing device result. Routes without a rule are left alone (true).
bool Observe(const std::string& route, std::string_view body);

struct State {
  Presence presence = Presence::Unknown;
  int64_t presenceTime = 0;  // seconds since the epoch; 0: never
  char libraries[128] = {};
  char version[64] = {};
  int64_t lastErrorTime = 0;
  char lastError[192] = {};  // "route: answer", cut
  uint64_t errors = 0;
};
State Get(Family family);

// The "return" value of a JSON answer (a number, or a number in quotes); false when it has none.
bool ReturnValue(std::string_view body, int* value);

void ResetForTesting();

}  // namespace device_status
