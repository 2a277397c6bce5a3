// The built library as its caller meets it: loaded at run time by file name, the exports bound
// by name. Run once without simulation (the system's own HID and USB stack, where no tablet is
// attached) and once with it.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/dynlib.h"
#include "platform/export.h"
#include "platform/message.h"
#include "pmtablet.h"
#include "tw/message_sink.h"

namespace {

using Init = int TW_STDCALL(TabletCaps*, uint32_t*, void*);
using Close = int TW_STDCALL(void*);
using PacketsGet = int TW_STDCALL(int32_t, PenPacket*);
using Status = int TW_STDCALL();

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = platform::LoadDynLib("PMTablet.dll");
    ASSERT_NE(lib_, nullptr) << platform::DynLibError();
    init_ = reinterpret_cast<Init*>(platform::DynSymbol(lib_, "PMInit"));
    close_ = reinterpret_cast<Close*>(platform::DynSymbol(lib_, "PMClose"));
    packetsGet_ = reinterpret_cast<PacketsGet*>(platform::DynSymbol(lib_, "PMPacketsGet"));
    status_ = reinterpret_cast<Status*>(platform::DynSymbol(lib_, "PMGetStatus"));
    ASSERT_TRUE(init_ && close_ && packetsGet_ && status_);
  }
  // Left loaded, as the capture program leaves it: the library keeps its one instance for the
  // process's whole life.

  platform::DynLib lib_ = nullptr;
  Init* init_ = nullptr;
  Close* close_ = nullptr;
  PacketsGet* packetsGet_ = nullptr;
  Status* status_ = nullptr;
};

// No tablet on this machine: both answers come at once, without any wait for an answer.
TEST_F(Library, NoTabletAttached) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(status_(), 1);
  TabletCaps caps{};
  uint32_t message = 0;
  EXPECT_EQ(init_(&caps, &message, nullptr), 1);
  EXPECT_EQ(close_(nullptr), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// TARNWICK_SIM=1 and TARNWICK_SIM_TABLET=sign: the signature arrives as packets and messages.
TEST_F(Library, SimulatedTabletSigns) {
  EXPECT_EQ(status_(), 0);
  tw::testing::MessageSink sink(platform::message::RegisterMessage("PM35USBDeviceMessage2011"));
  ASSERT_TRUE(sink.ok());
  TabletCaps caps{};
  uint32_t message = 0;
  ASSERT_EQ(init_(&caps, &message, sink.Handle()), 0);
  EXPECT_EQ(caps.productId, 0x8420);
  // The tablet starts while PMInit still waits after ATOP; what passes the ring's 31 packets
  // before the first take is overwritten, as on a real tablet.
  int taken = 0, pressing = 0;
  for (int i = 0; i < 400 && taken < 100; ++i) {
    ASSERT_TRUE(sink.Next(10000).has_value()) << "after " << taken << " packets";
    PenPacket p{};
    if (packetsGet_(1, &p) != 1) continue;
    ++taken;
    if (p.pressure > 0) ++pressing;
  }
  EXPECT_EQ(taken, 100);
  EXPECT_GT(pressing, 50);
  EXPECT_EQ(close_(nullptr), 0);
}

}  // namespace
