// Start-up, port choice, status reports and the stop control, run in-process the way the
// console run does it.
#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "host/host.h"
#include "idcard/devtool_binding.h"
#include "raw_client.h"
#include "tw/log.h"
#include "tw/settings.h"
#include "tw/testing.h"

namespace fs = std::filesystem;
namespace svc = platform::service;
using tcp = boost::asio::ip::tcp;

namespace {

std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<svc::Status> g_statuses;
std::string g_listeningPort;
std::string g_listeningAddress;

void Observe(const svc::Status& s) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_statuses.push_back(s);
}

void Listening(const std::string& address, const std::string& port) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_listeningAddress = address;
  g_listeningPort = port;
  g_cv.notify_all();
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_statuses.clear();
      g_listeningPort.clear();
    }
    SetStatusObserver(Observe);
    SetListeningHook(Listening);
  }
  void TearDown() override {
    tw::log::Shutdown();
    SetStatusObserver(nullptr);
    SetListeningHook(nullptr);
  }

  // Listens on the port without address sharing, as a foreign program would.
  void Occupy(unsigned short port) {
    auto a = std::make_unique<tcp::acceptor>(ioc_);
    a->open(tcp::v4());
#if !defined(_WIN32)
    // Earlier tests leave the port in TIME_WAIT, which Linux would refuse without this.
    a->set_option(tcp::acceptor::reuse_address(true));
#endif
    a->bind({boost::asio::ip::address_v4::any(), port});
    a->listen();
    occupied_.push_back(std::move(a));
  }

  std::string WaitListening() {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_cv.wait(lock, [] { return !g_listeningPort.empty(); });
    return g_listeningPort;
  }

  std::string Log() {
    char date[128];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    return tw::testing::ReadFile(dir_ / "Log" / (std::string(date) + ".txt"));
  }

  std::vector<svc::Status> Statuses() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_statuses;
  }

  // Runs the service to the end with the given ports taken; a request goes to the chosen port.
  std::string RunAndStop() {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_listeningPort.clear();
    }
    std::thread service([] { SvcMain(0, nullptr); });
    const std::string port = WaitListening();
    test::RawClient c(static_cast<unsigned short>(std::stoi(port)));
    c.Send("GET /test HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(c.ReadAnswer().find("{\"return\":0}"), std::string::npos);
    SvcCtrlHandler(svc::kControlStop);
    service.join();
    EXPECT_TRUE(c.Closed());
    return port;
  }

  tw::testing::WorkDirectory work_{"tw_host"};
  const fs::path& dir_ = work_.path();
  boost::asio::io_context ioc_;
  std::vector<std::unique_ptr<tcp::acceptor>> occupied_;
};

void ExpectStatus(const svc::Status& s, uint32_t state, uint32_t checkPoint, uint32_t waitHint, uint32_t accepted) {
  EXPECT_EQ(s.serviceType, svc::kWin32OwnProcess);
  EXPECT_EQ(s.currentState, state);
  EXPECT_EQ(s.checkPoint, checkPoint);
  EXPECT_EQ(s.waitHint, waitHint);
  EXPECT_EQ(s.controlsAccepted, accepted);
  EXPECT_EQ(s.win32ExitCode, svc::kNoError);
  EXPECT_EQ(s.serviceSpecificExitCode, 0u);
}

TEST_F(HostTest, FirstFreePortAndTheStatesOfARun) {
  EXPECT_EQ(RunAndStop(), "12321");
  const auto s = Statuses();
  ASSERT_EQ(s.size(), 5u);
  ExpectStatus(s[0], svc::kStartPending, 1, 3000, 0);
  ExpectStatus(s[1], svc::kRunning, 0, 0, svc::kAcceptStop);
  // A stop announces how long it may take, so the manager waits instead of spinning.
  ExpectStatus(s[2], svc::kStopPending, 2, 8000, svc::kAcceptStop);
  // The handler re-reports the current state while the service thread is stopping: either it
  // comes first (STOP_PENDING 3, then STOPPED) or the service thread does (STOPPED twice).
  // The last report is STOPPED either way.
  if (s[3].currentState == svc::kStopPending) {
    ExpectStatus(s[3], svc::kStopPending, 3, 8000, svc::kAcceptStop);
  } else {
    ExpectStatus(s[3], svc::kStopped, 0, 0, svc::kAcceptStop);
  }
  ExpectStatus(s[4], svc::kStopped, 0, 0, svc::kAcceptStop);

  EXPECT_TRUE(fs::is_directory(dir_ / "Log" / "Photo"));
  const std::string log = Log();
  for (const char* line :
       {"DEBUG", "[SvcMain@", "SvcMain Enter!", "SvcInit!", "[SvcInit@", "SvcInit Enter!", "ReportSvcStatus Enter!",
        "[ReportSvcStatus@", "Enter!", "Exit!", "WebServer Port:12321", "http_server Init!12321", "AddHandler Done!"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  // devtool sits beside the test program, so it was bound.
  EXPECT_NE(g_SDT_OpenPort, nullptr);
  EXPECT_NE(g_SDT_WriteAppMsg, nullptr);
  EXPECT_EQ(log.find("devtool.dll"), std::string::npos);
  // The port text is still empty when "Port!" is logged.
  const auto port = log.find("] Port!");
  ASSERT_NE(port, std::string::npos);
  EXPECT_TRUE(log[port + 7] == '\r' || log[port + 7] == '\n');
  // After start-up only errors reach the log: the stop's INFO records do not.
  EXPECT_EQ(log.find("Enter!", log.find("AddHandler Done!")), std::string::npos) << log;
}

TEST_F(HostTest, FallsBackToTheSecondAndThirdPort) {
  Occupy(12321);
  EXPECT_EQ(RunAndStop(), "61234");
  EXPECT_NE(Log().find("Port:(12321) is occupied"), std::string::npos);
  EXPECT_NE(Log().find("[PortAntiOccupation@"), std::string::npos);
  tw::log::Shutdown();
  Occupy(61234);
  EXPECT_EQ(RunAndStop(), "23456");
  EXPECT_NE(Log().find("Port:(61234) is occupied"), std::string::npos);
  EXPECT_NE(Log().find("WebServer Port:23456"), std::string::npos);
}

TEST_F(HostTest, AllPortsOccupiedStops) {
  for (unsigned short p : {12321, 61234, 23456}) Occupy(p);
  SvcMain(0, nullptr);  // returns by itself
  const auto s = Statuses();
  ASSERT_EQ(s.size(), 3u);
  ExpectStatus(s[0], svc::kStartPending, 1, 3000, 0);
  ExpectStatus(s[1], svc::kRunning, 0, 0, svc::kAcceptStop);
  ExpectStatus(s[2], svc::kStopped, 0, 0, svc::kAcceptStop);
  const std::string log = Log();
  const auto a = log.find("Port:(12321) is occupied");
  const auto b = log.find("Port:(61234) is occupied");
  const auto c = log.find("Port:(23456) is occupied");
  const auto d = log.find("All ports occupied");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(c, std::string::npos);
  ASSERT_NE(d, std::string::npos);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(c, d);
  EXPECT_TRUE(g_listeningPort.empty());
}

// Ctrl+C before start-up has made its stop event: the run still stops, and the next one is not
// stopped by it.
TEST_F(HostTest, AStopBeforeTheStopEventExistsIsNotLost) {
  SvcCtrlHandler(svc::kControlStop);
  SvcMain(0, nullptr);  // returns by itself
  const auto s = Statuses();
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s.back().currentState, svc::kStopped);
  tw::log::Shutdown();
  EXPECT_EQ(RunAndStop(), "12321");
}

// An address that cannot be used fails on every port alike: the run ends at once with a
// non-zero status and says so on the console and in the log, rather than trying other ports.
TEST_F(HostTest, AnUnusableListenAddressEndsTheRun) {
  for (const char* address : {"192.0.2.123" /* TEST-NET-1, not ours */, "localhost.example", "127.0.0.1.5"}) {
    SCOPED_TRACE(address);
    tw::log::Shutdown();
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_statuses.clear();
    }
    tw::testing::SetSetting("ListenAddress", address);
    ::testing::internal::CaptureStderr();
    SvcMain(0, nullptr);  // returns by itself
    const std::string err = ::testing::internal::GetCapturedStderr();
    tw::testing::SetSetting("ListenAddress", nullptr);
    EXPECT_EQ(LastRunExitStatus(), kListenAddressUnusable);
    const auto s = Statuses();
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s.back().currentState, svc::kStopped);
    EXPECT_EQ(s.back().win32ExitCode, svc::kErrorServiceSpecific);
    EXPECT_EQ(s.back().serviceSpecificExitCode, static_cast<uint32_t>(kListenAddressUnusable));
    const std::string said = std::string("Cannot listen on ") + address + " (ListenAddress): ";
    EXPECT_EQ(err.rfind("Tarnwick: " + said, 0), 0u) << err;
    const std::string log = Log();
    EXPECT_NE(log.find(said), std::string::npos) << log;
    EXPECT_EQ(log.find("WebServer Port:61234"), std::string::npos) << log;
    EXPECT_TRUE(g_listeningPort.empty());
  }
}

// The listening hook hears the address really listened on.
TEST_F(HostTest, TheAddressListenedOnIsReported) {
  for (const auto& [setting, bound] :
       {std::pair<const char*, const char*>{nullptr, "0.0.0.0"}, {"127.0.0.1", "127.0.0.1"}}) {
    tw::log::Shutdown();
    tw::testing::SetSetting("ListenAddress", setting);
    EXPECT_EQ(RunAndStop(), "12321");
    tw::testing::SetSetting("ListenAddress", nullptr);
    EXPECT_EQ(LastRunExitStatus(), 0);
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_listeningAddress, bound);
  }
}

// Under the service manager no one could close a message box: its text goes to the log.
TEST_F(HostTest, NoMessageBoxUnderTheManager) {
  ASSERT_TRUE(tw::log::Init((dir_ / "boxes.txt").string(), tw::log::Severity::Error));
  SetUnderManagerForTesting(true);
  ::testing::internal::CaptureStderr();
  ShowBox("WSAStartup Error");
  const std::string err = ::testing::internal::GetCapturedStderr();
  SetUnderManagerForTesting(false);
  // A box would be the text alone on its line (TARNWICK_MESSAGEBOX=stderr); the event log's
  // entry (on Linux, standard error) carries the source first.
  EXPECT_NE(err.rfind("WSAStartup Error\n", 0), 0u) << err;
  EXPECT_EQ(err.find("\nWSAStartup Error\n"), std::string::npos) << err;
  EXPECT_NE(tw::testing::ReadFile(dir_ / "boxes.txt").find("WSAStartup Error"), std::string::npos);
}

TEST_F(HostTest, ProbeTellsFreeFromTaken) {
  EXPECT_EQ(PortAntiOccupation(12321), 1);
  Occupy(12321);
  EXPECT_EQ(PortAntiOccupation(12321), 0);
}

TEST(CommandWords, OtherControlsAreIgnored) {
  std::vector<svc::Status> before;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_statuses.clear();
  }
  SetStatusObserver(Observe);
  SvcCtrlHandler(2);  // pause
  SvcCtrlHandler(4);  // interrogate
  SetStatusObserver(nullptr);
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_TRUE(g_statuses.empty());
}

}  // namespace
