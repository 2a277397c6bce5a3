#include "tablet_log.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/clock.h"
#include "platform/folders.h"

namespace tablet::log {
namespace {

std::atomic<bool> g_enabled{false};
std::mutex g_mutex;  // one line at a time, and the folder
std::string g_folder;

std::filesystem::path Path() {
  std::lock_guard<std::mutex> lock(g_mutex);
  const std::string folder = g_folder.empty() ? platform::RoamingDataDirectory() : g_folder;
  if (folder.empty()) return std::filesystem::path();
  return std::filesystem::u8path(folder) / kFileName;
}

bool DeleteLog() {
  const std::filesystem::path p = Path();
  std::error_code ec;
  return !p.empty() && std::filesystem::remove(p, ec);
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

int ProfileInt(const std::string& file, const std::string& section, const std::string& key, int fallback) {
  std::ifstream in(std::filesystem::u8path(file));
  if (!in) return fallback;
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string::npos && SameText(Trim(line.substr(1, close - 1)), section);
      continue;
    }
    const size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos || !SameText(Trim(line.substr(0, eq)), key)) continue;
    const std::string value = Trim(line.substr(eq + 1));
    size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
    long long n = 0;
    for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i) {
      n = n * 10 + (value[i] - '0');
      if (n > INT_MAX) n = INT_MAX;
    }
    return negative ? 0 : static_cast<int>(n);
  }
  return fallback;
}

void Configure(const std::string& libraryFolder) {
  const std::string config = (std::filesystem::u8path(libraryFolder) / kConfigName).u8string();
  const bool on = ProfileInt(config, "LOG", "enable", 0) != 0;
  g_enabled = on;
  if (on) DeleteLog();
}

bool Enable(int enable) {
  g_enabled = enable != 0;
  return enable != 0 && DeleteLog();
}

bool Enabled() { return g_enabled; }

std::string FormatLine(const std::tm& t, const std::string& text, uint32_t code) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%d/%d/%d-%d/%d/%d:", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                t.tm_min, t.tm_sec);
  std::string line = stamp + text;
  if (code != 0) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ", error is 0x%x", static_cast<unsigned>(code));
    line += suffix;
  }
  return line + "\r\n";
}

void Write(const std::string& text, uint32_t code) {
  if (!g_enabled) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  platform::LocalTime(now, &local);
  const std::string line = FormatLine(local, text, code);
  const std::filesystem::path p = Path();
  if (p.empty()) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  std::ofstream out(p, std::ios::binary | std::ios::app);
  if (out) out.write(line.data(), static_cast<std::streamsize>(line.size()));
}

void SetFolderForTesting(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_folder = folder;
}

std::string FilePath() { return Path().u8string(); }

}  // namespace tablet::log
