#include "key_record.h"

#include <cstdint>
#include <set>

namespace usbkey {
namespace {

constexpr std::string_view kHeader = "TWUSBKEY 1\n";

void Put(std::string& out, std::string_view name, std::string_view value) {
  out.append(name.data(), name.size());
  out += ' ';
  out += std::to_string(value.size());
  out += '\n';
  out.append(value.data(), value.size());
  out += '\n';
}

// A decimal number of at most 9 digits, so no overflow; -1 when malformed.
long Decimal(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::string Serialize(const KeyRecord& r) {
  std::string out(kHeader);
  Put(out, "serial", r.serial);
  Put(out, "pin-salt", r.pinSalt);
  Put(out, "pin-hash", r.pinHash);
  Put(out, "tries", std::to_string(r.triesLeft));
  Put(out, "private-key", r.privateKey);
  Put(out, "certificate", r.certificate);
  Put(out, "cert-password", r.certPassword);
  Put(out, "signature-picture", r.signaturePicture);
  return out;
}

bool Parse(std::string_view file, KeyRecord* record) {
  if (file.substr(0, kHeader.size()) != kHeader) return false;
  file.remove_prefix(kHeader.size());
  KeyRecord r;
  std::string tries;
  std::set<std::string_view> seen;
  std::string* const known[] = {&r.serial,     &r.pinSalt,     &r.pinHash,      &tries,
                                &r.privateKey, &r.certificate, &r.certPassword, &r.signaturePicture};
  const std::string_view names[] = {"serial",      "pin-salt",    "pin-hash",      "tries",
                                    "private-key", "certificate", "cert-password", "signature-picture"};
  while (!file.empty()) {
    const size_t eol = file.find('\n');
    if (eol == std::string_view::npos) return false;
    const std::string_view line = file.substr(0, eol);
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || space == 0) return false;
    const std::string_view name = line.substr(0, space);
    const long length = Decimal(line.substr(space + 1));
    file.remove_prefix(eol + 1);
    if (length < 0 || static_cast<size_t>(length) >= file.size() || file[static_cast<size_t>(length)] != '\n') {
      return false;
    }
    const std::string_view value = file.substr(0, static_cast<size_t>(length));
    file.remove_prefix(static_cast<size_t>(length) + 1);
    if (!seen.insert(name).second) return false;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
      if (name == names[i]) known[i]->assign(value.data(), value.size());
    }
  }
  const long triesLeft = Decimal(tries);
  if (r.serial.empty() || r.pinSalt.empty() || r.pinHash.empty() || triesLeft < 0 || triesLeft > kPinTries) {
    return false;
  }
  r.triesLeft = static_cast<int>(triesLeft);
  *record = std::move(r);
  return true;
}

}  // namespace usbkey
