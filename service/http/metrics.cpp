#include "metrics.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "device_status.h"
#include "platform/memory.h"

namespace metrics {
namespace {

using Counter = std::atomic<uint64_t>;
constexpr auto kRelaxed = std::memory_order_relaxed;

struct Store {
  Counter requests[kFamilyCount][kOutcomeCount];
  Counter buckets[kFamilyCount][kBucketCount + 1];
  Counter durationUs[kFamilyCount];
  Counter refusals[kRefusalCount];
  std::atomic<int64_t> openConnections{0};
};

// Zero-initialised static storage: no constructor runs on the request path.
Store g_store;

struct Note {
  Family family = Family::Local;
  Outcome outcome = Outcome::Failed;
  bool noted = false;
};
thread_local Note t_note;

const double g_startTime = static_cast<double>(std::time(nullptr));

size_t BucketOf(uint64_t us) {
  size_t i = 0;
  while (i < kBucketCount && us > kBucketBoundsUs[i]) ++i;
  return i;
}

void Append(std::string& out, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

void Append(std::string& out, const char* fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

// A label value in the exposition format: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\\' || ch == '"') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (ch == '\n') {
      out += "\\n";
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  static constexpr const char* kNames[kOutcomeCount] = {"ok",        "device_error", "not_found", "refused",
                                                        "preflight", "not_allowed",  "failed"};
  return kNames[static_cast<size_t>(outcome)];
}

const char* RefusalName(Refusal refusal) {
  static constexpr const char* kNames[kRefusalCount] = {"400", "413", "431", "503", "origin"};
  return kNames[static_cast<size_t>(refusal)];
}

void NoteDispatch(Family family, Outcome outcome) {
  t_note.family = family;
  t_note.outcome = outcome;
  t_note.noted = true;
}

void NoteDeviceError() {
  if (t_note.outcome == Outcome::Ok) t_note.outcome = Outcome::DeviceError;
}

RequestScope::RequestScope() : start_(std::chrono::steady_clock::now()) { t_note = Note{}; }

void RequestScope::Finish(bool answered) {
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  const uint64_t us = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
  const size_t f = static_cast<size_t>(t_note.family);
  const Outcome outcome = answered && t_note.noted ? t_note.outcome : Outcome::Failed;
  g_store.requests[f][static_cast<size_t>(outcome)].fetch_add(1, kRelaxed);
  g_store.buckets[f][BucketOf(us)].fetch_add(1, kRelaxed);
  g_store.durationUs[f].fetch_add(us, kRelaxed);
}

void CountRefusal(Refusal refusal) { g_store.refusals[static_cast<size_t>(refusal)].fetch_add(1, kRelaxed); }

void CountRefusalAnswer(const char* answer) {
  // "HTTP/1.1 NNN ..."
  if (answer == nullptr || std::strncmp(answer, "HTTP/1.1 ", 9) != 0) return;
  const char* code = answer + 9;
  if (std::strncmp(code, "400", 3) == 0) return CountRefusal(Refusal::BadRequest);
  if (std::strncmp(code, "413", 3) == 0) return CountRefusal(Refusal::TooLarge);
  if (std::strncmp(code, "431", 3) == 0) return CountRefusal(Refusal::HeadersTooLarge);
  if (std::strncmp(code, "503", 3) == 0) return CountRefusal(Refusal::Unavailable);
}

void ConnectionOpened() { g_store.openConnections.fetch_add(1, kRelaxed); }
void ConnectionClosed() { g_store.openConnections.fetch_sub(1, kRelaxed); }

Snapshot Take() {
  Snapshot s;
  for (size_t f = 0; f < kFamilyCount; ++f) {
    for (size_t o = 0; o < kOutcomeCount; ++o) s.requests[f][o] = g_store.requests[f][o].load(kRelaxed);
    for (size_t b = 0; b <= kBucketCount; ++b) s.buckets[f][b] = g_store.buckets[f][b].load(kRelaxed);
    s.durationUs[f] = g_store.durationUs[f].load(kRelaxed);
  }
  for (size_t r = 0; r < kRefusalCount; ++r) s.refusals[r] = g_store.refusals[r].load(kRelaxed);
  s.openConnections = g_store.openConnections.load(kRelaxed);
  return s;
}

double StartTimeSeconds() { return g_startTime; }

std::string RenderPrometheus(const std::string& version) {
  const Snapshot s = Take();
  std::string out;
  out.reserve(16 * 1024);

  out += "# HELP tarnwick_build_info The service's build; always 1.\n# TYPE tarnwick_build_info gauge\n";
  Append(out, "tarnwick_build_info{version=\"%s\"} 1\n", LabelValue(version).c_str());

  out += "# HELP tarnwick_requests_total Requests served, by route family and outcome.\n";
  out += "# TYPE tarnwick_requests_total counter\n";
  for (size_t f = 0; f < kFamilyCount; ++f) {
    for (size_t o = 0; o < kOutcomeCount; ++o) {
      Append(out, "tarnwick_requests_total{family=\"%s\",outcome=\"%s\"} %llu\n", FamilyName(static_cast<Family>(f)),
             OutcomeName(static_cast<Outcome>(o)), static_cast<unsigned long long>(s.requests[f][o]));
    }
  }

  out += "# HELP tarnwick_request_duration_seconds Time from a parsed request to its queued answer.\n";
  out += "# TYPE tarnwick_request_duration_seconds histogram\n";
  for (size_t f = 0; f < kFamilyCount; ++f) {
    const char* family = FamilyName(static_cast<Family>(f));
    // The count is the sum of the buckets read, so a scrape during a request stays consistent.
    uint64_t cumulative = 0;
    for (size_t b = 0; b < kBucketCount; ++b) {
      cumulative += s.buckets[f][b];
      Append(out, "tarnwick_request_duration_seconds_bucket{family=\"%s\",le=\"%g\"} %llu\n", family,
             static_cast<double>(kBucketBoundsUs[b]) / 1e6, static_cast<unsigned long long>(cumulative));
    }
    cumulative += s.buckets[f][kBucketCount];
    Append(out, "tarnwick_request_duration_seconds_bucket{family=\"%s\",le=\"+Inf\"} %llu\n", family,
           static_cast<unsigned long long>(cumulative));
    Append(out, "tarnwick_request_duration_seconds_sum{family=\"%s\"} %.6f\n", family,
           static_cast<double>(s.durationUs[f]) / 1e6);
    Append(out, "tarnwick_request_duration_seconds_count{family=\"%s\"} %llu\n", family,
           static_cast<unsigned long long>(cumulative));
  }

  out += "# HELP tarnwick_refusals_total Requests turned away, by kind (HTTP status, or origin policy).\n";
  out += "# TYPE tarnwick_refusals_total counter\n";
  for (size_t r = 0; r < kRefusalCount; ++r) {
    Append(out, "tarnwick_refusals_total{kind=\"%s\"} %llu\n", RefusalName(static_cast<Refusal>(r)),
           static_cast<unsigned long long>(s.refusals[r]));
  }

  out += "# HELP tarnwick_open_connections Client connections now open.\n# TYPE tarnwick_open_connections gauge\n";
  Append(out, "tarnwick_open_connections %lld\n", static_cast<long long>(s.openConnections));

  // Only families whose routes have said so: a family nobody used since the start is neither.
  out += "# HELP tarnwick_device_present Whether the family's device answered when last asked (1) or not (0).\n";
  out += "# TYPE tarnwick_device_present gauge\n";
  std::string errorTimes =
      "# HELP tarnwick_device_last_error_timestamp_seconds When the family last answered with a failing device "
      "result.\n# TYPE tarnwick_device_last_error_timestamp_seconds gauge\n";
  for (size_t f = 1; f < kFamilyCount; ++f) {
    const Family family = static_cast<Family>(f);
    const device_status::State state = device_status::Get(family);
    if (state.presence != device_status::Presence::Unknown) {
      Append(out, "tarnwick_device_present{family=\"%s\"} %d\n", FamilyName(family),
             state.presence == device_status::Presence::Present ? 1 : 0);
    }
    if (state.lastErrorTime != 0) {
      Append(errorTimes, "tarnwick_device_last_error_timestamp_seconds{family=\"%s\"} %lld\n", FamilyName(family),
             static_cast<long long>(state.lastErrorTime));
    }
  }
  out += errorTimes;

  const double now = static_cast<double>(std::time(nullptr));
  out += "# HELP process_resident_memory_bytes Resident memory size in bytes.\n";
  out += "# TYPE process_resident_memory_bytes gauge\n";
  Append(out, "process_resident_memory_bytes %llu\n", static_cast<unsigned long long>(platform::ResidentBytes()));
  out += "# HELP process_start_time_seconds Start time of the process since unix epoch in seconds.\n";
  out += "# TYPE process_start_time_seconds gauge\n";
  Append(out, "process_start_time_seconds %.0f\n", g_startTime);
  out += "# HELP tarnwick_uptime_seconds Seconds since the service started.\n# TYPE tarnwick_uptime_seconds gauge\n";
  Append(out, "tarnwick_uptime_seconds %.0f\n", now - g_startTime);
  return out;
}

void ResetForTesting() {
  for (size_t f = 0; f < kFamilyCount; ++f) {
    for (auto& c : g_store.requests[f]) c.store(0, kRelaxed);
    for (auto& c : g_store.buckets[f]) c.store(0, kRelaxed);
    g_store.durationUs[f].store(0, kRelaxed);
  }
  for (auto& c : g_store.refusals) c.store(0, kRelaxed);
}

}  // namespace metrics
