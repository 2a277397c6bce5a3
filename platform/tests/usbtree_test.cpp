#include "platform/usbtree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "platform/sim.h"
#include "platform/usbtree_virtual.h"

namespace platform::usbtree {
namespace {

using Ids = std::vector<std::pair<uint16_t, uint16_t>>;

Ids WalkAll() {
  Ids ids;
  Walk([&ids](const DeviceId& id) { ids.emplace_back(id.vendorId, id.productId); });
  return ids;
}

class UsbTreeVirtual : public ::testing::Test {
 protected:
  void SetUp() override {
    wasOn_ = SimulationEnabled();
    SetSimulationForTesting(true);
    UnregisterAllVirtual();
  }
  void TearDown() override {
    UnregisterAllVirtual();
    SetSimulationForTesting(wasOn_);
  }
  bool wasOn_ = false;
};

// Hub by hub, depth first, every controller in registration order.
TEST_F(UsbTreeVirtual, WalksEveryHubDepthFirst) {
  RegisterVirtual(MakeVirtual(
      0x1D6B, 2,
      {MakeVirtual(0x05E3, 0x0610,
                   {MakeVirtual(0x046D, 0xC077), MakeVirtual(0x05E3, 0x0610, {MakeVirtual(0x0B57, 0x8421)})}),
       MakeVirtual(0x0000, 0x0000)}));
  RegisterVirtual(MakeVirtual(0x1D6B, 3, {MakeVirtual(0x0781, 0x5581)}));
  EXPECT_EQ(WalkAll(),
            (Ids{{0x05E3, 0x0610}, {0x046D, 0xC077}, {0x05E3, 0x0610}, {0x0B57, 0x8421}, {0, 0}, {0x0781, 0x5581}}));
}

TEST_F(UsbTreeVirtual, NothingRegisteredWalksNothing) { EXPECT_TRUE(WalkAll().empty()); }

#if !defined(_WIN32)
class UsbTreeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    wasOn_ = SimulationEnabled();
    SetSimulationForTesting(false);
    root_ = std::filesystem::temp_directory_path() / ("tw_usbtree_" + std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    SetSysfsRoot(root_.string());
  }
  void TearDown() override {
    SetSysfsRoot("");
    std::filesystem::remove_all(root_);
    SetSimulationForTesting(wasOn_);
  }
  void Device(const std::string& path, const char* vendor, const char* product) {
    const auto dir = root_ / path;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "idVendor") << vendor << "\n";
    std::ofstream(dir / "idProduct") << product << "\n";
  }
  std::filesystem::path root_;
  bool wasOn_ = false;
};

// As sysfs nests them: a root hub, a hub on its port 1, a hub on that hub's port 4, the tablet on
// port 2 of the last one; interfaces and attribute folders are not devices.
TEST_F(UsbTreeSysfs, FindsADeviceTwoHubsDeep) {
  Device("usb1", "1d6b", "0002");
  Device("usb1/1-1", "05e3", "0610");
  Device("usb1/1-1/1-1.4", "05e3", "0610");
  Device("usb1/1-1/1-1.4/1-1.4.2", "0b57", "8420");
  Device("usb1/1-1/1-1.4/1-1.4.2/1-1.4.2:1.0", "ffff", "ffff");
  Device("usb1/1-1/power", "ffff", "fffe");
  const Ids ids = WalkAll();
  EXPECT_EQ(ids, (Ids{{0x1D6B, 2}, {0x05E3, 0x0610}, {0x05E3, 0x0610}, {0x0B57, 0x8420}}));
}

TEST_F(UsbTreeSysfs, UnreadableFilesAndAMissingRootAreSkipped) {
  Device("usb2", "1d6b", "0003");
  Device("usb2/2-1", "zz", "0001");
  std::filesystem::create_directories(root_ / "usb2" / "2-2");
  EXPECT_EQ(WalkAll(), (Ids{{0x1D6B, 3}}));
  SetSysfsRoot((root_ / "missing").string());
  EXPECT_TRUE(WalkAll().empty());
}
#else
// Wine has no USB host controllers: the walk of the real stack ends without finding anything.
TEST(UsbTreeSystem, WalkEnds) {
  const bool wasOn = SimulationEnabled();
  SetSimulationForTesting(false);
  WalkAll();
  SetSimulationForTesting(wasOn);
}
#endif

}  // namespace
}  // namespace platform::usbtree
