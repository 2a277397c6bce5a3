// The capture program in this process, driven over its real TCP protocol on port 45654, with
// the tablet library's objects and the simulated tablet below.
#include "processor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "library.h"
#include "platform/sim.h"
#include "png_check.h"
#include "resource.h"
#include "sim/tablet.h"
#include "tw/testing.h"

namespace capture {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::atomic<int> g_clearSigCalls{0};
int TW_STDCALL CountingClearSig() {
  ++g_clearSigCalls;
  return PMClearSig();
}

bool BindLinked(TabletApi* api) {
  api->getStatus = PMGetStatus;
  api->init = PMInit;
  api->close = PMClose;
  api->clearSig = CountingClearSig;
  api->packetsGet = PMPacketsGet;
  return true;
}

int InkAround(const cv::Mat& m, int x, int y) {
  int n = 0;
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      const int px = x + dx, py = y + dy;
      if (px >= 0 && py >= 0 && px < m.cols && py < m.rows) n += m.at<cv::Vec4b>(py, px) == cv::Vec4b(0, 0, 0, 255);
    }
  }
  return n;
}

int Ink(const cv::Mat& m) {
  int n = 0;
  for (int y = 0; y < m.rows; ++y) {
    for (int x = 0; x < m.cols; ++x) n += m.at<cv::Vec4b>(y, x)[3] != 0;
  }
  return n;
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    tablet::Timing timing;
    timing.acknowledgementMs = 3000;
    timing.afterDiscoveryMs = timing.afterAtopMs = timing.beforeStopMs = timing.afterStopMs = 0;
    tablet::Library::Instance().SetTimingForTesting(timing);
    g_clearSigCalls = 0;
    // Under Wine a real box would hold the command thread until someone closed it.
    tw::testing::SetEnv("TARNWICK_MESSAGEBOX", "stderr");
  }
  void TearDown() override {
    if (thread_.joinable()) {
      // The menu's exit command ends the program whatever its command thread does.
      platform::message::Post(processor_->Window(), platform::message::kCommand, IDM_EXIT, 0);
      thread_.join();
    }
    platform::CloseSocket(socket_);
    platform::NetCleanup();
  }

  void Start(int deviceType = 1) {
    tablet_.emplace(deviceType);
    processor_ = std::make_unique<Processor>(BindLinked);
    thread_ = std::thread([this] { code_ = processor_->Run(); });
    ASSERT_EQ(platform::NetStartup(0x0101), 0);
    for (int i = 0; i < 500; ++i) {
      socket_ = platform::TcpSocket();
      if (platform::ConnectLoopback(socket_, kCommandPort)) return;
      platform::CloseSocket(socket_);
      socket_ = platform::kNoSocket;
      std::this_thread::sleep_for(milliseconds(20));
    }
    FAIL() << "the program does not listen on " << kCommandPort;
  }
  sim::SimTablet& Sim() { return *tablet_->tablet; }

  void Send(const std::string& bytes) {
    ASSERT_EQ(platform::Send(socket_, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
  }
  void Command(const std::string& word) { Send(word + std::string(1, '\0')); }

  // One chunk is one command: bytes sent while the program is still busy with the last word
  // would join it. A word without an answer is followed only once the log shows it was read.
  size_t Reads(const std::string& text) {
    const std::string log = tw::testing::ReadFile("PemrikProcessor.txt");
    const std::string record = "buffer:" + text;
    size_t n = 0;
    for (size_t at = log.find(record); at != std::string::npos; at = log.find(record, at + 1)) {
      const size_t end = at + record.size();
      if (end < log.size() && (log[end] == '\r' || log[end] == '\n')) ++n;  // the whole text, to its line end
    }
    return n;
  }
  void SendRead(const std::string& bytes, const std::string& text) {
    const size_t before = Reads(text);
    Send(bytes);
    const auto until = steady_clock::now() + milliseconds(10000);
    while (Reads(text) == before) {
      ASSERT_LT(steady_clock::now(), until) << "the program did not read " << text;
      std::this_thread::sleep_for(milliseconds(5));
    }
  }
  void CommandRead(const std::string& word) { SendRead(word + std::string(1, '\0'), word); }

  std::string Confirm() {
    Command("Confirm");
    char reply[8] = {};
    const long n = platform::Receive(socket_, reply, sizeof reply, 10000);
    return n > 0 ? std::string(reply, static_cast<size_t>(n)) : "(" + std::to_string(n) + ")";
  }

  // The whole Base64 text of the PNG, however many receives it takes.
  std::string GetSign() {
    Command("GetSign");
    std::string text;
    const auto until = steady_clock::now() + milliseconds(10000);
    while (!test::CompletePng(text) && steady_clock::now() < until) {
      char chunk[65536];
      const long n = platform::Receive(socket_, chunk, sizeof chunk, 1000);
      if (n > 0) text.append(chunk, static_cast<size_t>(n));
      if (n == 0 || n == -1) break;
    }
    return text;
  }
  cv::Mat Picture() { return test::DecodePngBase64(GetSign()); }

  // "Init", and the answer to a following command as the sign that it has run.
  void Init() {
    CommandRead("Init");
    ASSERT_FALSE(Picture().empty());
  }

  // Polls the canvas until `done` holds for it.
  template <class Pred>
  cv::Mat PictureWhen(Pred done) {
    const auto until = steady_clock::now() + milliseconds(10000);
    cv::Mat m;
    do {
      m = Picture();
      if (!m.empty() && done(m)) return m;
      std::this_thread::sleep_for(milliseconds(20));
    } while (steady_clock::now() < until);
    return m;
  }

  tw::testing::WorkDirectory work_{"tw_capture"};
  std::optional<sim::ScopedTablet> tablet_;
  std::unique_ptr<Processor> processor_;
  std::thread thread_;
  int code_ = -1;
  platform::Socket socket_ = platform::kNoSocket;
};

TEST_F(Program, GetSignOnAnEmptyCanvasIsATransparentPicture) {
  Start();
  const cv::Mat m = Picture();
  ASSERT_EQ(m.cols, 600);
  ASSERT_EQ(m.rows, 300);
  ASSERT_EQ(m.channels(), 4);
  EXPECT_EQ(Ink(m), 0);
}

struct SignatureCase {
  int deviceType;
};

class Signature : public Program, public ::testing::WithParamInterface<int> {};

// The scripted signature lands where its points go, in black, and nowhere else; for 0x8816 too,
// whose strokes are scaled by its decoder's range.
TEST_P(Signature, InkIsWhereThePenWent) {
  Start(GetParam());
  Init();
  const auto script = sim::SignatureScript();
  Sim().Play(script, std::chrono::microseconds(1000));
  ASSERT_TRUE(Sim().WaitIdle(30000));
  const sim::PenPoint& last = script.back();
  const cv::Mat m = PictureWhen([&](const cv::Mat& p) {
    return InkAround(p, static_cast<int>(last.x * 600), static_cast<int>(last.y * 300)) > 0;
  });
  ASSERT_FALSE(m.empty());
  int missing = 0, checked = 0;
  for (size_t i = 1; i < script.size(); ++i) {
    if (script[i].pressure == 0 || script[i - 1].pressure == 0) continue;
    ++checked;
    if (InkAround(m, static_cast<int>(script[i].x * 600), static_cast<int>(script[i].y * 300)) == 0) ++missing;
  }
  EXPECT_GT(checked, 300);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(InkAround(m, 3, 3), 0);
  EXPECT_EQ(InkAround(m, 596, 296), 0);
  EXPECT_EQ(InkAround(m, 300, 290), 0);
}

INSTANTIATE_TEST_SUITE_P(Models, Signature, ::testing::Values(1, 2, 3));

// "0" until the confirm key; then "1" exactly once, and the canvas is empty again.
TEST_F(Program, ConfirmAnswersOnceAfterTheKey) {
  Start();
  Init();
  EXPECT_EQ(Confirm(), "0");
  Sim().Play({{0.2, 0.5, 500}, {0.8, 0.5, 500}}, std::chrono::microseconds(100));
  ASSERT_FALSE(PictureWhen([](const cv::Mat& p) { return Ink(p) > 0; }).empty());
  Sim().PressKey(sim::kConfirmKey);
  std::string answer;
  for (int i = 0; i < 500 && (answer = Confirm()) == "0"; ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(answer, "1");
  EXPECT_EQ(Confirm(), "0");
  EXPECT_EQ(Ink(Picture()), 0);
}

// The clear key empties the canvas on its own; "Clear" clears the tablet's screen as well.
TEST_F(Program, ClearKeyAndClearCommand) {
  Start();
  Init();
  const auto stroke = [this] {
    Sim().Play({{0.2, 0.5, 500}, {0.8, 0.5, 500}}, std::chrono::microseconds(100));
    return PictureWhen([](const cv::Mat& p) { return Ink(p) > 0; });
  };
  ASSERT_GT(Ink(stroke()), 0);
  Sim().PressKey(sim::kClearKey);
  EXPECT_EQ(Ink(PictureWhen([](const cv::Mat& p) { return Ink(p) == 0; })), 0);
  EXPECT_EQ(g_clearSigCalls, 0);
  ASSERT_GT(Ink(stroke()), 0);
  CommandRead("Clear");
  EXPECT_EQ(Ink(Picture()), 0);
  EXPECT_EQ(g_clearSigCalls, 1);
  EXPECT_EQ(Sim().FeatureReports().back(), (sim::Report{5, 0x33, 0x70}));
}

// Words that arrive together, or cut apart, are each carried out once and in order: the service
// sends the next word while the program is still inside the last.
TEST_F(Program, EveryWordOfAReadIsCarriedOutInOrder) {
  Start();
  const struct {
    const char* name;
    std::vector<std::string> sends;
    bool penMode;
    const char* reply;  // the answer to the last word
  } cases[] = {
      {"init and close together", {std::string("Init\0Close\0Confirm\0", 19)}, false, "0"},
      {"init, clear and confirm together", {std::string("Init\0Clear\0Confirm\0", 19)}, true, "0"},
      {"a word cut in two", {"Con", std::string("firm\0", 5)}, true, "0"},
      {"one word ending a read, the next cut", {std::string("Close\0Conf", 10), std::string("irm\0", 4)}, false, "0"},
  };
  for (const auto& c : cases) {
    for (const std::string& bytes : c.sends) {
      Send(bytes);
      std::this_thread::sleep_for(milliseconds(20));
    }
    char reply[8] = {};
    EXPECT_EQ(platform::Receive(socket_, reply, sizeof reply, 10000), 1) << c.name;
    EXPECT_STREQ(reply, c.reply) << c.name;
    EXPECT_EQ(Sim().InPenMode(), c.penMode) << c.name;
  }
  EXPECT_EQ(g_clearSigCalls, 1);
}

// Only the loopback address takes the connection: no other host can reach the port.
TEST_F(Program, ListensOnLoopbackOnly) {
  Start();
  const platform::Socket other = platform::TcpSocket();
  EXPECT_FALSE(platform::Connect(other, "127.0.0.2", kCommandPort, 2000));
  platform::CloseSocket(other);
  EXPECT_EQ(Confirm(), "0");
}

// Words are exact and case-sensitive; anything else is shown and the commands go on. A full
// chunk without a zero byte is read only as far as it goes.
TEST_F(Program, UnknownWordsAreShownAndCommandsGoOn) {
  Start();
  ::testing::internal::CaptureStderr();
  CommandRead("init");
  SendRead(std::string(256, 'A'), std::string(256, 'A'));
  const bool answered = !Picture().empty();
  const std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(answered);
  EXPECT_NE(shown.find("Info: init\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Info: " + std::string(256, 'A') + "\n"), std::string::npos) << shown;
  EXPECT_FALSE(Sim().InPenMode());
}

TEST_F(Program, QuitEndsTheProgram) {
  Start();
  Init();
  Command("Quit");
  thread_.join();
  EXPECT_EQ(code_, 0);
  EXPECT_FALSE(Sim().InPenMode());
  const std::string log = tw::testing::ReadFile("PemrikProcessor.txt");
  EXPECT_NE(log.find("[wWinMain@"), std::string::npos) << log;
  EXPECT_NE(log.find("enter!"), std::string::npos);
  EXPECT_NE(log.find("[Thread_Pemrik@"), std::string::npos);
  EXPECT_NE(log.find("buffer:Quit"), std::string::npos);
  EXPECT_NE(log.find("base64_encode time is: "), std::string::npos);
}

// A tablet that does not answer "Init": the command thread stops reading and says so by
// closing the connection; nothing listens any more.
TEST_F(Program, AFailedInitStopsTheCommands) {
  Start();
  tablet::Timing timing;
  timing.acknowledgementMs = 100;
  tablet::Library::Instance().SetTimingForTesting(timing);
  Sim().faults.silent = true;
  CommandRead("Init");
  char reply[8];
  EXPECT_EQ(platform::Receive(socket_, reply, sizeof reply, 10000), 0);
  EXPECT_NE(tw::testing::ReadFile("PemrikProcessor.txt").find("Failed to Init!4"), std::string::npos);
  const platform::Socket again = platform::TcpSocket();
  EXPECT_FALSE(platform::ConnectLoopback(again, kCommandPort));
  platform::CloseSocket(again);
}

// The head of a point word's reply, and its points as "x y p" (times vary from run to run).
struct PointsReply {
  unsigned generation = 0, confirmed = 0, product = 0;
  unsigned long long dropped = 0, from = 0, next = 0;
  size_t count = 0;
  std::vector<std::string> points;
  std::vector<unsigned> ms;
};

class PointWords : public Program {
 protected:
  // The reply to a point word, read to its closing dot line.
  PointsReply Ask(const std::string& word) {
    Command(word);
    std::string text;
    const auto until = steady_clock::now() + milliseconds(10000);
    while ((text.size() < 3 || text.compare(text.size() - 3, 3, "\n.\n") != 0) && steady_clock::now() < until) {
      char chunk[4096];
      const long n = platform::Receive(socket_, chunk, sizeof chunk, 1000);
      if (n > 0) text.append(chunk, static_cast<size_t>(n));
      if (n == 0 || n == -1) break;
    }
    PointsReply r;
    int used = 0;
    EXPECT_EQ(std::sscanf(text.c_str(), "points %u %u %llu %llu %llu %u %zu\n%n", &r.generation, &r.confirmed,
                          &r.dropped, &r.from, &r.next, &r.product, &r.count, &used),
              7)
        << text;
    for (size_t at = static_cast<size_t>(used); at < text.size() && text[at] != '.';) {
      const size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      const size_t last = line.rfind(' ');
      r.points.push_back(line.substr(0, last));
      r.ms.push_back(static_cast<unsigned>(std::stoul(line.substr(last + 1))));
      at = end + 1;
    }
    EXPECT_EQ(r.points.size(), r.count) << text;
    return r;
  }
  // One stroke across the middle and its lift: three points in the record.
  PointsReply Stroke() {
    Sim().Play({{0.2, 0.5, 500}, {0.5, 0.5, 900}, {0.8, 0.5, 0}}, std::chrono::microseconds(1000));
    PointsReply r;
    const auto until = steady_clock::now() + milliseconds(10000);
    while ((r = Ask("GetStrokes")).count < 3 && steady_clock::now() < until)
      std::this_thread::sleep_for(milliseconds(10));
    return r;
  }
};

TEST_F(PointWords, TheRecordIsThePensPathInCanvasUnits) {
  Start();
  Init();
  const PointsReply whole = Stroke();
  EXPECT_EQ(whole.points, (std::vector<std::string>{"120 150 500", "300 150 900", "300 150 0"}));
  EXPECT_EQ(whole.product, 0x8420u);
  EXPECT_EQ(whole.next, 3u);
  EXPECT_LE(whole.ms[0], whole.ms[1]);
  EXPECT_LE(whole.ms[1], whole.ms[2]);
  EXPECT_LT(whole.ms[2], 60000u);  // counted from "Init", not from some epoch
  const struct {
    const char* word;
    unsigned long long from;
    std::vector<std::string> points;
  } cases[] = {
      {"GetPoints 0", 0, whole.points},          {"GetPoints 2", 2, {"300 150 0"}},         {"GetPoints 3", 3, {}},
      {"GetPoints 18446744073709551615", 3, {}}, {"GetPoints 99999999999999999999", 3, {}},  // past the largest index:
                                                                                             // as far as it goes
  };
  for (const auto& c : cases) {
    const PointsReply r = Ask(c.word);
    EXPECT_EQ(r.from, c.from) << c.word;
    EXPECT_EQ(r.points, c.points) << c.word;
    EXPECT_EQ(r.next, 3u) << c.word;
    EXPECT_EQ(r.generation, whole.generation) << c.word;
  }
  // The path is answered, never written down.
  EXPECT_EQ(tw::testing::ReadFile("PemrikProcessor.txt").find("300 150"), std::string::npos);
}

// The point words tell of the confirm key and leave it to "Confirm", which empties the record
// with the canvas; so do "Clear", the clear key and a new "Init".
TEST_F(PointWords, ConfirmedIsToldNotTakenAndTheRecordGoesWithTheCanvas) {
  Start();
  Init();
  const unsigned generation = Stroke().generation;
  Sim().PressKey(sim::kConfirmKey);
  PointsReply r;
  for (int i = 0; i < 500 && (r = Ask("GetPoints 0")).confirmed == 0; ++i)
    std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(r.confirmed, 1u);
  EXPECT_EQ(Ask("GetStrokes").confirmed, 1u);
  EXPECT_EQ(Confirm(), "1");
  r = Ask("GetStrokes");
  EXPECT_EQ(r.confirmed, 0u);
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.generation, generation + 1);

  const struct {
    const char* name;
    std::function<void()> clear;
  } cases[] = {
      {"Clear", [this] { CommandRead("Clear"); }},
      {"Init", [this] { CommandRead("Init"); }},
      {"the clear key", [this] { Sim().PressKey(sim::kClearKey); }},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Stroke().count, 3u) << c.name;
    c.clear();
    for (int i = 0; i < 500 && Ask("GetStrokes").count != 0; ++i) std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(Ask("GetStrokes").count, 0u) << c.name;
  }
}

// With simulation on the words steer the simulated tablet: its confirm key takes the packet path
// to the flag, unplugging leaves pen mode. Without simulation they are refused, never shown.
TEST_F(PointWords, SimulationWords) {
  Start();
  Init();
  const auto ask = [this](const std::string& word) {
    Command(word);
    char reply[8] = {};
    const long n = platform::Receive(socket_, reply, sizeof reply, 10000);
    return n > 0 ? std::string(reply, static_cast<size_t>(n)) : "(" + std::to_string(n) + ")";
  };
  EXPECT_EQ(ask("SimConfirm"), "1");
  std::string answer;
  for (int i = 0; i < 500 && (answer = Confirm()) == "0"; ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(answer, "1");
  EXPECT_EQ(ask("SimUnplug"), "1");
  EXPECT_FALSE(Sim().InPenMode());
  EXPECT_EQ(ask("SimReplug"), "1");
  platform::SetSimulationForTesting(false);
  ::testing::internal::CaptureStderr();
  const std::vector<std::string> refused = {ask("SimConfirm"), ask("SimUnplug"), ask("SimReplug")};
  platform::SetSimulationForTesting(true);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(refused, (std::vector<std::string>{"0", "0", "0"}));
}

// Only the exact forms are point words; anything else is shown as an unknown word.
TEST_F(PointWords, MalformedIndicesAreUnknownWords) {
  Start();
  ::testing::internal::CaptureStderr();
  for (const char* word : {"GetPoints", "GetPoints ", "GetPoints -1", "GetPoints 1x", "GetPoints  1", "getstrokes"}) {
    CommandRead(word);
  }
  EXPECT_EQ(Confirm(), "0");
  const std::string shown = ::testing::internal::GetCapturedStderr();
  for (const char* word : {"GetPoints\n", "GetPoints \n", "GetPoints -1\n", "GetPoints 1x\n", "getstrokes\n"}) {
    EXPECT_NE(shown.find(std::string("Info: ") + word), std::string::npos) << word << shown;
  }
}

TEST(ProgramStart, WithoutATabletItEndsBeforeListening) {
  tw::testing::WorkDirectory work("tw_capture_none");
  sim::ScopedTablet scoped;
  scoped.tablet->Unplug();
  Processor processor(BindLinked);
  EXPECT_EQ(processor.Run(), 0);
  ASSERT_EQ(platform::NetStartup(0x0101), 0);
  const platform::Socket s = platform::TcpSocket();
  EXPECT_FALSE(platform::ConnectLoopback(s, kCommandPort));
  platform::CloseSocket(s);
  platform::NetCleanup();
  EXPECT_NE(tw::testing::ReadFile("PemrikProcessor.txt").find("ERROR"), std::string::npos);
}

}  // namespace
}  // namespace capture
