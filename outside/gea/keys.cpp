#include "keys.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/module.h"
#include "soft.h"

namespace gea {
namespace {

constexpr size_t kMaxKeyFile = 1 << 20;
const char* const kKindNames[2] = {"exchange", "signature"};

std::string Hex(const unsigned char* data, size_t length) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}
std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

std::optional<Bytes> FromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  for (size_t i = 0; i < text.size(); i += 2) {
    const auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return out;
}

// Names and labels are kept on one line each: line ends and backslashes are escaped.
std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char c = s[++i];
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool ToInt(const std::string& text, int low, int high, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

Bytes PinDigest(const std::array<unsigned char, 8>& serial, const std::string& pin) {
  auto hash = HS_HASH_CTX::Create(kAlgSha1);
  hash->Update(serial.data(), serial.size());
  hash->Update(reinterpret_cast<const unsigned char*>(pin.data()), pin.size());
  return hash->Final();
}

KeyMemory KeyMemory::Fresh(int index) {
  KeyMemory m;
  m.serial = {0x20, 0x13, 0x50, 0x00, 0x00, 0x00, 0x00, static_cast<unsigned char>(index + 1)};
  m.label = "Morvel Key " + std::to_string(index);
  m.pinDigest = PinDigest(m.serial, kDefaultPin);
  return m;
}

KeyMemory::Pair* KeyMemory::FindPair(int container, int kind) {
  if (container < 0 || container >= HS_MAX_CONTAINERS || !containers[container]) return nullptr;
  if (kind != HS_KEY_EXCHANGE && kind != HS_KEY_SIGNATURE) return nullptr;
  return &containers[container]->pairs[kind - 1];
}

std::string KeyMemory::Serialize() const {
  std::ostringstream out;
  out << "serial=" << Hex(serial.data(), serial.size()) << "\n"
      << "label=" << Escape(label) << "\n"
      << "category=" << category << "\n"
      << "pin=" << Hex(pinDigest) << "\n"
      << "retries=" << retries << "\n"
      << "max_retries=" << maxRetries << "\n";
  for (int i = 0; i < HS_MAX_CONTAINERS; ++i) {
    if (!containers[i]) continue;
    const std::string prefix = "container." + std::to_string(i) + ".";
    out << prefix << "name=" << Escape(containers[i]->name) << "\n";
    for (int k = 0; k < 2; ++k) {
      const Pair& pair = containers[i]->pairs[k];
      if (pair.key) out << prefix << kKindNames[k] << ".key=" << Hex(EncodePrivateKey(*pair.key)) << "\n";
      if (!pair.certificate.empty()) out << prefix << kKindNames[k] << ".cert=" << Hex(pair.certificate) << "\n";
    }
  }
  return out.str();
}

std::optional<KeyMemory> KeyMemory::Parse(const std::string& text) {
  KeyMemory m;
  bool haveSerial = false, havePin = false;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
    if (name == "serial") {
      const auto b = FromHex(value);
      if (!b || b->size() != 8) return std::nullopt;
      std::copy(b->begin(), b->end(), m.serial.begin());
      haveSerial = true;
    } else if (name == "label") {
      m.label = Unescape(value);
    } else if (name == "category") {
      if (!ToInt(value, 0, 255, &m.category)) return std::nullopt;
    } else if (name == "pin") {
      const auto b = FromHex(value);
      if (!b || b->size() != 20) return std::nullopt;
      m.pinDigest = *b;
      havePin = true;
    } else if (name == "retries") {
      if (!ToInt(value, 0, 255, &m.retries)) return std::nullopt;
    } else if (name == "max_retries") {
      if (!ToInt(value, 1, 255, &m.maxRetries)) return std::nullopt;
    } else if (name.compare(0, 10, "container.") == 0) {
      int index = 0;
      const size_t dot = name.find('.', 10);
      if (dot == std::string::npos || !ToInt(name.substr(10, dot - 10), 0, HS_MAX_CONTAINERS - 1, &index)) {
        return std::nullopt;
      }
      auto& container = m.containers[index];
      if (!container) container.emplace();
      const std::string field = name.substr(dot + 1);
      if (field == "name") {
        container->name = Unescape(value);
        continue;
      }
      bool known = false;
      for (int k = 0; k < 2; ++k) {
        const std::string kind = kKindNames[k];
        const auto b = FromHex(value);
        if (field == kind + ".key") {
          auto key = b ? DecodePrivateKey(b->data(), b->size()) : std::nullopt;
          if (!key) return std::nullopt;
          container->pairs[k].key = std::move(key);
          known = true;
        } else if (field == kind + ".cert") {
          if (!b) return std::nullopt;
          container->pairs[k].certificate = *b;
          known = true;
        }
      }
      if (!known) return std::nullopt;
    }
  }
  if (!haveSerial || !havePin) return std::nullopt;
  for (auto& c : m.containers) {
    if (c && c->name.empty()) return std::nullopt;
  }
  return m;
}

std::string StoreFolder() {
  const auto over = platform::EnvironmentValue("TARNWICK_GEA_STORE");
  if (over && !over->empty()) return *over;
  const std::string data = platform::LocalDataDirectory();
  return data.empty() ? std::string() : data + "/Tarnwick/gea-keys";
}

std::string KeyFile(const std::array<unsigned char, 8>& serial) {
  return StoreFolder() + "/" + Hex(serial.data(), serial.size()) + ".key";
}

SimKey::SimKey(int index) : index_(index), reader_("Morvel USB Key " + std::to_string(index)) {}

SimKey::Access::Access(SimKey& key) : key_(key), lock_(key.mutex_) {
  const auto me = std::this_thread::get_id();
  key_.released_.wait(lock_, [&] { return key_.depth_ == 0 || key_.owner_ == me; });
  if (!key_.loaded_) key_.LoadLocked();
}

int SimKey::Access::Save() {
  std::error_code ec;
  const std::string file = KeyFile(key_.memory_.serial);
  std::filesystem::create_directories(std::filesystem::u8path(StoreFolder()), ec);
  return platform::ReplaceWholeFile(file, key_.memory_.Serialize()) ? HS_OK : static_cast<int>(HS_ERR_STORE);
}

void SimKey::LoadLocked() {
  const KeyMemory fresh = KeyMemory::Fresh(index_);
  std::string text;
  // A missing or damaged file gives a key as it leaves the factory.
  std::optional<KeyMemory> stored =
      platform::ReadWholeFile(KeyFile(fresh.serial), kMaxKeyFile, &text) == platform::ReadResult::Ok
          ? KeyMemory::Parse(text)
          : std::nullopt;
  memory_ = stored && stored->serial == fresh.serial ? std::move(*stored) : fresh;
  loaded_ = true;
}

int SimKey::Begin() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto me = std::this_thread::get_id();
  released_.wait(lock, [&] { return depth_ == 0 || owner_ == me; });
  owner_ = me;
  ++depth_;
  return HS_OK;
}

int SimKey::End() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (depth_ == 0 || owner_ != std::this_thread::get_id()) return static_cast<int>(HS_ERR_TRANSACTION);
  if (--depth_ == 0) {
    owner_ = std::thread::id();
    released_.notify_all();
  }
  return HS_OK;
}

unsigned SimKey::Generation() {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

void SimKey::Removed() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
  loggedIn = false;
  cache.fill(0);
  fingerprintPolls = 0;
  lastFingerMismatch = false;
  // A key pulled out ends whatever transaction was open on it.
  depth_ = 0;
  owner_ = std::thread::id();
  released_.notify_all();
}

void SimKey::Reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  loaded_ = false;
  loggedIn = false;
  cache.fill(0);
}

}  // namespace gea
