#include "der.h"

#include <cstdio>
#include <vector>

namespace der {
namespace {

constexpr uint8_t kBoolean = 0x01, kInteger = 0x02, kBitString = 0x03, kOctetString = 0x04, kNull = 0x05,
                  kObjectId = 0x06, kUtf8String = 0x0C, kUtcTime = 0x17, kGeneralizedTime = 0x18, kSequence = 0x30,
                  kSet = 0x31, kContextConstructed = 0xA0;

std::string Joined(std::initializer_list<std::string_view> members) {
  std::string out;
  for (std::string_view m : members) out.append(m.data(), m.size());
  return out;
}

// Base-128, most significant group first, the high bit set on all but the last.
void AppendBase128(std::string& out, uint64_t value) {
  char groups[10];
  int n = 0;
  do {
    groups[n++] = static_cast<char>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (n > 1) out.push_back(static_cast<char>(groups[--n] | 0x80));
  out.push_back(groups[0]);
}

// Days since 1970-01-01 to a civil date, so no time zone or locale enters.
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

std::string Tlv(uint8_t tag, std::string_view content) {
  std::string out(1, static_cast<char>(tag));
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<char>(n));
  } else {
    char bytes[sizeof(size_t)];
    int count = 0;
    for (size_t v = n; v != 0; v >>= 8) bytes[count++] = static_cast<char>(v & 0xFF);
    out.push_back(static_cast<char>(0x80 | count));
    while (count > 0) out.push_back(bytes[--count]);
  }
  out.append(content.data(), content.size());
  return out;
}

std::string Sequence(std::initializer_list<std::string_view> members) { return Tlv(kSequence, Joined(members)); }

std::string Set(std::initializer_list<std::string_view> members) { return Tlv(kSet, Joined(members)); }

std::string Explicit(unsigned number, std::string_view encoded) {
  return Tlv(static_cast<uint8_t>(kContextConstructed | (number & 0x1F)), encoded);
}

std::string Boolean(bool value) { return Tlv(kBoolean, std::string(1, value ? '\xFF' : '\0')); }

std::string Integer(std::string_view magnitude) {
  size_t first = 0;
  while (first < magnitude.size() && magnitude[first] == '\0') ++first;
  std::string content;
  if (first == magnitude.size() || (static_cast<uint8_t>(magnitude[first]) & 0x80) != 0) content.push_back('\0');
  content.append(magnitude.substr(first));
  return Tlv(kInteger, content);
}

std::string Integer(uint64_t value) {
  std::string magnitude;
  for (int shift = 56; shift >= 0; shift -= 8) magnitude.push_back(static_cast<char>((value >> shift) & 0xFF));
  return Integer(magnitude);
}

std::string Null() { return Tlv(kNull, {}); }

std::string ObjectId(std::string_view dotted) {
  std::vector<uint64_t> arcs;
  uint64_t arc = 0;
  bool digits = false;
  for (size_t i = 0; i <= dotted.size(); ++i) {
    if (i == dotted.size() || dotted[i] == '.') {
      if (!digits) return {};
      arcs.push_back(arc);
      arc = 0;
      digits = false;
    } else if (dotted[i] >= '0' && dotted[i] <= '9' && arc <= (UINT64_MAX - 9) / 10) {
      arc = arc * 10 + static_cast<uint64_t>(dotted[i] - '0');
      digits = true;
    } else {
      return {};
    }
  }
  // The first two arcs share one number: X.690 8.19.4.
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39) || arcs[1] > UINT64_MAX - 80) return {};
  std::string content;
  AppendBase128(content, arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) AppendBase128(content, arcs[i]);
  return Tlv(kObjectId, content);
}

std::string OctetString(std::string_view bytes) { return Tlv(kOctetString, bytes); }

std::string BitString(std::string_view bytes) {
  std::string content(1, '\0');
  content.append(bytes.data(), bytes.size());
  return Tlv(kBitString, content);
}

std::string Utf8String(std::string_view text) { return Tlv(kUtf8String, text); }

std::string Time(int64_t when) {
  int64_t days = when / 86400, rest = when % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  const unsigned hour = static_cast<unsigned>(rest / 3600), minute = static_cast<unsigned>(rest / 60 % 60),
                 second = static_cast<unsigned>(rest % 60);
  char text[32];
  if (year >= 1950 && year < 2050) {
    std::snprintf(text, sizeof text, "%02u%02u%02u%02u%02u%02uZ", static_cast<unsigned>(year % 100), month, day, hour,
                  minute, second);
    return Tlv(kUtcTime, text);
  }
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02uZ", static_cast<unsigned>(year), month, day, hour, minute,
                second);
  return Tlv(kGeneralizedTime, text);
}

}  // namespace der
