// The presence check over the USB tree, and its table of seen ids.
#include <gtest/gtest.h>

#include <memory>

#include "platform/sim.h"
#include "platform/usbtree_virtual.h"
#include "pmtablet.h"
#include "presence.h"
#include "sim/tablet.h"

namespace {

using platform::usbtree::DeviceId;
using platform::usbtree::MakeVirtual;
using platform::usbtree::VirtualDevice;

class Presence : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetSimulationForTesting(true);
    platform::usbtree::UnregisterAllVirtual();
  }
  void TearDown() override { platform::usbtree::UnregisterAllVirtual(); }
};

TEST_F(Presence, ATabletTwoHubsBelowTheRootHubIsFound) {
  platform::usbtree::RegisterVirtual(
      MakeVirtual(0x1D6B, 2,
                  {MakeVirtual(0x046D, 0xC077),
                   MakeVirtual(0x05E3, 0x0610, {MakeVirtual(0x05E3, 0x0610, {MakeVirtual(0x0B57, 0x8816)})})}));
  EXPECT_EQ(PMGetStatus(), 0);
}

TEST_F(Presence, OtherDevicesAndEmptyPortsAreNoTablet) {
  EXPECT_EQ(PMGetStatus(), 1);
  platform::usbtree::RegisterVirtual(MakeVirtual(
      0x1D6B, 2,
      {MakeVirtual(0, 0), MakeVirtual(0x0B57, 0x1234), MakeVirtual(0x2796, 0x1001), MakeVirtual(0, 0x8420)}));
  EXPECT_EQ(PMGetStatus(), 1);
}

TEST_F(Presence, ATabletOpenElsewhereIsFoundWithoutOpeningIt) {
  sim::ScopedTablet scoped(2);
  TabletCaps caps;
  uint32_t message;
  ASSERT_EQ(PMInit(&caps, &message, nullptr), 0);
  const int opens = scoped.tablet->Opens();
  EXPECT_EQ(PMGetStatus(), 0);
  EXPECT_EQ(scoped.tablet->Opens(), opens);
  EXPECT_EQ(PMClose(nullptr), 0);
  scoped.tablet->Unplug();
  EXPECT_EQ(PMGetStatus(), 1);
}

TEST(SeenIds, KeepsEachPairOnceInTheOrderFound) {
  tablet::SeenIds seen;
  for (DeviceId id : {DeviceId{0x0B57, 0x8420}, DeviceId{0, 0x8421}, DeviceId{0x0B57, 0x8421}, DeviceId{0x0B57, 0x8420},
                      DeviceId{0x046D, 0xC077}, DeviceId{0x0B57, 0x8421}}) {
    seen.Add(id);
  }
  ASSERT_EQ(seen.Pairs().size(), 3u);
  EXPECT_EQ(seen.Pairs()[0].productId, 0x8420);
  EXPECT_EQ(seen.Pairs()[1].productId, 0x8421);
  EXPECT_EQ(seen.Pairs()[2].vendorId, 0x046D);
  EXPECT_TRUE(seen.HasTablet());
}

// A machine with more devices than the 32 pairs planned for: the tablet found last still counts.
TEST(SeenIds, ATabletAfterManyOtherDevicesIsStillFound) {
  tablet::SeenIds seen;
  for (uint16_t p = 1; p <= 40; ++p) seen.Add({0x1234, p});
  EXPECT_FALSE(seen.HasTablet());
  seen.Add({0x0B57, 0x8421});
  EXPECT_TRUE(seen.HasTablet());
  EXPECT_EQ(seen.Pairs().size(), 41u);

  tablet::SeenIds full;
  for (size_t p = 0; p < tablet::SeenIds::kMostPairs + 10; ++p) {
    full.Add({static_cast<uint16_t>(0x1000 + p / 0x10000), static_cast<uint16_t>(p)});
  }
  EXPECT_EQ(full.Pairs().size(), tablet::SeenIds::kMostPairs);
  full.Add({0x0B57, 0x8816});
  EXPECT_TRUE(full.HasTablet());
}

}  // namespace
