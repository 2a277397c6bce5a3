// The USB tree from sysfs: every folder with idVendor and idProduct files is a device. The
// default root lists every device as a link; below each, sysfs nests the devices behind a hub
// in folders named like "1-1.2" (interfaces, "1-1.2:1.0", and attribute folders are skipped).
// The walk goes down those folders too, so a tree of real folders (a fixture) is found whole.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "../sim/usbtree_os.h"

namespace platform::usbtree {
namespace {

constexpr char kDefaultRoot[] = "/sys/bus/usb/devices";
constexpr int kMaxDepth = 12;

std::mutex g_rootMutex;
std::string g_root = kDefaultRoot;

bool ReadHex(const std::string& file, uint16_t* value) {
  std::FILE* f = std::fopen(file.c_str(), "r");
  if (f == nullptr) return false;
  char text[16] = {};
  const bool read = std::fgets(text, sizeof text, f) != nullptr;
  std::fclose(f);
  if (!read) return false;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 16);
  if (end == text || v > 0xFFFF) return false;
  *value = static_cast<uint16_t>(v);
  return true;
}

// "usb1" (a root hub) or "1-1.2" (bus, then the port path).
bool IsDeviceName(const std::string& name) {
  if (name.rfind("usb", 0) == 0) {
    return name.size() > 3 && name.find_first_not_of("0123456789", 3) == std::string::npos;
  }
  const size_t dash = name.find('-');
  return dash != std::string::npos && dash > 0 && dash + 1 < name.size() &&
         name.find_first_not_of("0123456789") == dash &&
         name.find_first_not_of("0123456789.", dash + 1) == std::string::npos;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

void WalkFolder(const std::string& folder, int depth, const std::function<void(const DeviceId&)>& visit) {
  if (depth > kMaxDepth) return;
  DeviceId id;
  if (ReadHex(folder + "/idVendor", &id.vendorId) && ReadHex(folder + "/idProduct", &id.productId)) visit(id);
  for (const std::string& name : Entries(folder)) {
    if (!IsDeviceName(name)) continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    WalkFolder(path, depth + 1, visit);
  }
}

}  // namespace

void SetSysfsRoot(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_rootMutex);
  g_root = path.empty() ? kDefaultRoot : path;
}

namespace os {

void Walk(const std::function<void(const DeviceId&)>& visit) {
  std::string root;
  {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    root = g_root;
  }
  for (const std::string& name : Entries(root)) {
    const std::string path = root + "/" + name;
    struct stat st;
    if (IsDeviceName(name) && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) WalkFolder(path, 0, visit);
  }
}

}  // namespace os
}  // namespace platform::usbtree
