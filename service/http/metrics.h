// What the service counts about itself, for the status page and for Prometheus: requests by
// family and outcome, their durations, refusals, open connections. Counting is a handful of
// relaxed atomic additions into fixed arrays: no lock, no allocation, safe from any thread.
// Only rendering (on a scrape) allocates.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "http.h"

namespace metrics {

// How a request ended. A device family's answer that carries a failing device result counts as
// DeviceError; the answer itself is still a 200.
enum class Outcome : uint8_t { Ok, DeviceError, NotFound, Refused, Preflight, NotAllowed, Failed };
inline constexpr size_t kOutcomeCount = 7;
// "ok", "device_error", "not_found", "refused", "preflight", "not_allowed", "failed".
const char* OutcomeName(Outcome outcome);

// Why the server turned a request away before or instead of serving it.
enum class Refusal : uint8_t { BadRequest, TooLarge, HeadersTooLarge, Unavailable, Origin };
inline constexpr size_t kRefusalCount = 5;
// "400", "413", "431", "503", "origin".
const char* RefusalName(Refusal refusal);

// Upper bounds of the duration buckets, in microseconds (the last bucket is +Inf).
inline constexpr uint64_t kBucketBoundsUs[] = {100,   250,    500,    1000,   2500,    5000,    10000,   25000,
                                               50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};
inline constexpr size_t kBucketCount = sizeof kBucketBoundsUs / sizeof kBucketBoundsUs[0];

// The dispatch tells what became of the request it served on this thread; ServeRequest reads it
// back once the dispatch has returned. A device result seen in the answer may turn Ok into
// DeviceError.
void NoteDispatch(Family family, Outcome outcome);
void NoteDeviceError();

// Brackets one request in ServeRequest: clears the note, takes the time, and counts the
// request with its family, outcome and duration when it ends. `answered` false means the
// request got no answer (the connection is ended).
class RequestScope {
 public:
  RequestScope();
  void Finish(bool answered);

 private:
  std::chrono::steady_clock::time_point start_;
};

// A refusal answer the server is about to send ("HTTP/1.1 431 ..."); other texts are ignored.
void CountRefusalAnswer(const char* answer);
void CountRefusal(Refusal refusal);

void ConnectionOpened();
void ConnectionClosed();

struct Snapshot {
  uint64_t requests[kFamilyCount][kOutcomeCount] = {};
  uint64_t buckets[kFamilyCount][kBucketCount + 1] = {};  // not cumulative; last is +Inf
  uint64_t durationUs[kFamilyCount] = {};
  uint64_t refusals[kRefusalCount] = {};
  int64_t openConnections = 0;
};
Snapshot Take();

// Seconds since the epoch when the process started counting (its first use of this module).
double StartTimeSeconds();

// The Prometheus text exposition of everything above, the device states and the process
// figures. `version` is the build's version text.
std::string RenderPrometheus(const std::string& version);

// For tests: every counter back to zero.
void ResetForTesting();

}  // namespace metrics
