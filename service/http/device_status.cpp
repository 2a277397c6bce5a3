#include "device_status.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>

namespace device_status {
namespace {

struct Slot {
  std::mutex mutex;
  State state;
};

Slot& SlotOf(Family family) {
  static Slot slots[kFamilyCount];
  return slots[static_cast<size_t>(family)];
}

// Written during start-up only; read without a lock afterwards from every family's thread.
std::unordered_map<std::string, AnswerRule>& Rules() {
  static std::unordered_map<std::string, AnswerRule> rules;
  return rules;
}

template <size_t N>
void CopyCut(char (&dst)[N], std::string_view text) {
  const size_t n = std::min(text.size(), N - 1);
  std::memcpy(dst, text.data(), n);
  dst[n] = '\0';
}

bool Succeeded(const AnswerRule& rule, int value) {
  return rule.success == AnswerRule::Success::Equal ? value == rule.successCode : value >= 0;
}

}  // namespace

void WatchRoute(const std::string& route, const AnswerRule& rule) { Rules()[route] = rule; }

void SetLibraries(Family family, std::string_view files) {
  Slot& slot = SlotOf(family);
  std::lock_guard<std::mutex> lock(slot.mutex);
  CopyCut(slot.state.libraries, files);
}

bool ReturnValue(std::string_view body, int* value) {
  static constexpr std::string_view kKey = "\"return\"";
  // The last one: the device result closes the answers that carry data, and a data value (sent
  // as it is, unescaped) could hold the key too.
  const size_t at = body.rfind(kKey);
  if (at == std::string_view::npos) return false;
  size_t i = at + kKey.size();
  auto skipBlanks = [&] {
    while (i < body.size() && (body[i] == ' ' || body[i] == '\t')) ++i;
  };
  skipBlanks();
  if (i >= body.size() || body[i] != ':') return false;
  ++i;
  skipBlanks();
  if (i < body.size() && body[i] == '"') ++i;
  bool negative = false;
  if (i < body.size() && (body[i] == '-' || body[i] == '+')) negative = body[i++] == '-';
  if (i >= body.size() || body[i] < '0' || body[i] > '9') return false;
  long long v = 0;
  for (; i < body.size() && body[i] >= '0' && body[i] <= '9'; ++i) {
    v = v * 10 + (body[i] - '0');
    if (v > 0x7fffffffLL) return false;
  }
  *value = static_cast<int>(negative ? -v : v);
  return true;
}

bool Observe(const std::string& route, std::string_view body) {
  const auto& rules = Rules();
  const auto it = rules.find(route);
  if (it == rules.end()) return true;
  const AnswerRule& rule = it->second;
  int value = 0;
  const bool hasReturn = ReturnValue(body, &value);
  const bool ok = rule.versionText || !hasReturn || Succeeded(rule, value);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));

  Slot& slot = SlotOf(rule.family);
  std::lock_guard<std::mutex> lock(slot.mutex);
  State& s = slot.state;
  if (rule.versionText) {
    // A library that wrote nothing has told no version.
    if (!body.empty()) CopyCut(s.version, body);
  }
  if (rule.tellsPresence) {
    Presence p = s.presence;
    if (ok) {
      p = Presence::Present;
    } else if (rule.anyFailureAbsent || value == rule.absentCode) {
      p = Presence::Absent;
    }
    if (p != s.presence || s.presenceTime == 0) s.presenceTime = now;
    s.presence = p;
  }
  if (!ok) {
    ++s.errors;
    s.lastErrorTime = now;
    char text[sizeof s.lastError];
    const std::string_view shown = body.substr(0, sizeof text);
    std::snprintf(text, sizeof text, "%s: %.*s", route.c_str(), static_cast<int>(shown.size()), shown.data());
    CopyCut(s.lastError, text);
  }
  return ok;
}

State Get(Family family) {
  Slot& slot = SlotOf(family);
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.state;
}

void ResetForTesting() {
  for (size_t f = 0; f < kFamilyCount; ++f) {
    Slot& slot = SlotOf(static_cast<Family>(f));
    std::lock_guard<std::mutex> lock(slot.mutex);
    const std::string libraries = slot.state.libraries;
    slot.state = State{};
    CopyCut(slot.state.libraries, libraries);
  }
}

}  // namespace device_status
