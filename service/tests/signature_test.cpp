// The signature-pad routes over real HTTP: the built capture program started beside this test
// with the simulated tablet, and a stand-in program that never answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "host/event_sources.h"
#include "host/host.h"
#include "http/http.h"
#include "platform/net.h"
#include "platform/process.h"
#include "raw_client.h"
#include "signature/signature_routes.h"
#include "tw/base64.h"
#include "tw/deaf_listener.h"
#include "tw/log.h"
#include "tw/testing.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The capture program these tests' service started, when it runs (programs of other test runs
// on this machine are not these tests' to count or end).
std::vector<uint32_t> CapturePrograms() {
  const uint32_t pid = signature::Program().Ours();
  return pid != 0 ? std::vector<uint32_t>{pid} : std::vector<uint32_t>{};
}

template <class Pred>
bool Eventually(Pred pred, int ms = 20000) {
  const auto until = steady_clock::now() + milliseconds(ms);
  while (!pred()) {
    if (steady_clock::now() > until) return false;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return true;
}

class SignatureRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    signature::Program().SetRecordFile((work_.path() / "capture.run").string());
    tw::testing::SetEnv("TARNWICK_SIM", "1");
    tw::testing::SetEnv("TARNWICK_SIM_TABLET", "sign,wait=2000,confirm");
    tw::testing::SetEnv("TARNWICK_MESSAGEBOX", "stderr");
    signature::SetReplyTimeoutForTesting(signature::kReplyTimeoutMs);
    signature::SetProgramForTesting("");
    server_.Init("0");
    RegisterRoutes(server_);
    ASSERT_TRUE(server_.Start());
    polling_.emplace(server_);
  }
  void TearDown() override {
    polling_.reset();
    server_.Close();
    signature::EndCaptureProgram();
    signature::SetProgramForTesting("");
    tw::log::Shutdown();
  }

  std::string Get(const std::string& target) {
    const std::string body = test::Body(test::Get(server_.BoundPort(), target));
    return body.substr(0, body.size() - 1);
  }
  static std::string Return(int code) { return "{\"return\":" + std::to_string(code) + "}"; }

  // The whole log of what the service did since the call.
  void StartLog() { ASSERT_TRUE(tw::log::Init((work_.path() / "log.txt").string(), tw::log::Severity::Debug)); }
  size_t LogLines(const std::string& text) {
    const std::string log = tw::testing::ReadFile(work_.path() / "log.txt");
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  tw::testing::WorkDirectory work_{"tw_signature", false};
  Tarnwick server_;
  std::optional<test::PollingThread> polling_;
};

const char kImagePrefix[] = "{\"result\":\"data:image/png;base64,";

TEST_F(SignatureRoutes, CommandsBeforeOpenDevFail) {
  for (const char* route : {"/Pemrik_Api/InitDev", "/Pemrik_Api/GetSign", "/Pemrik_Api/CloseDev",
                            "/Pemrik_Api/ClearDev", "/Pemrik_Api/GetConfirm", "/Pemrik_Api/QuitPMProc"}) {
    EXPECT_EQ(Get(route), Return(-1)) << route;
  }
}

// The whole road: open, init, the simulated signature, confirm once, the picture, quit.
TEST_F(SignatureRoutes, ASignatureFromOpenToQuit) {
  ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  EXPECT_EQ(CapturePrograms().size(), 1u);
  EXPECT_EQ(Get("/Pemrik_Api/OpenDev"), Return(1));
  // Back to back while the program may still be inside the tablet's Init: no word is lost, so
  // the confirmation is answered ("0": not pressed yet) instead of timing out.
  EXPECT_EQ(Get("/Pemrik_Api/InitDev"), Return(0));
  EXPECT_EQ(Get("/Pemrik_Api/ClearDev"), Return(0));
  EXPECT_EQ(Get("/Pemrik_Api/GetConfirm"), Return(-1));
  EXPECT_TRUE(signature::Connected());

  // The picture grows while the pen writes; the confirm key follows two seconds after.
  std::string sign, confirm;
  ASSERT_TRUE(Eventually([&] {
    const std::string next = Get("/Pemrik_Api/GetSign");
    if (next.size() > sign.size()) sign = next;
    confirm = Get("/Pemrik_Api/GetConfirm");
    return confirm == Return(0);
  }));
  EXPECT_EQ(Get("/Pemrik_Api/GetConfirm"), Return(-1));
  ASSERT_EQ(sign.rfind(kImagePrefix, 0), 0u) << sign.substr(0, 80);
  EXPECT_EQ(sign.substr(sign.size() - 2), "\"}");
  const std::string empty = Get("/Pemrik_Api/GetSign");
  ASSERT_EQ(empty.rfind(kImagePrefix, 0), 0u);
  EXPECT_GT(sign.size(), empty.size() + 1000);  // ink, where the confirmation left a blank canvas

  EXPECT_EQ(Get("/Pemrik_Api/ClearDev"), Return(0));
  EXPECT_EQ(Get("/Pemrik_Api/CloseDev"), Return(0));
  EXPECT_EQ(Get("/Pemrik_Api/QuitPMProc"), Return(0));
  EXPECT_FALSE(signature::Connected());
  EXPECT_EQ(Get("/Pemrik_Api/ClearDev"), Return(-1));
  EXPECT_TRUE(Eventually([] { return CapturePrograms().empty(); }));
}

// A page that listens sees the strokes while the pen writes and the confirm key as it is
// pressed, on the tablet or through the simulation.
TEST_F(SignatureRoutes, ThePenAndTheConfirmKeyReachAListeningPage) {
  EventSources sources(server_);
  test::RawClient stream(server_.BoundPort());
  stream.Send("GET /Local/Events?topics=pen,confirm HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_NE(stream.ReadHead().find("text/event-stream"), std::string::npos);
  ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  ASSERT_EQ(Get("/Pemrik_Api/InitDev"), Return(0));
  size_t points = 0, lifts = 0;
  for (;;) {
    const std::string frame = stream.ReadHead();
    if (frame.find("event: confirm\ndata: {\"confirmed\":true}") != std::string::npos) break;
    if (frame.find("event: pen\ndata: {\"points\":[{\"x\":") == std::string::npos) continue;
    for (size_t at = frame.find("\"t\":"); at != std::string::npos; at = frame.find("\"t\":", at + 1)) ++points;
    if (frame.find(",\"up\":true}") != std::string::npos) ++lifts;
  }
  EXPECT_GT(points, 20u);
  EXPECT_GT(lifts, 0u);
  // A page that comes later starts with the strokes so far.
  test::RawClient late(server_.BoundPort());
  late.Send("GET /Local/Events?topics=pen HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  late.ReadHead();
  EXPECT_EQ(late.ReadHead(), "retry: 1000\n\n");
  EXPECT_EQ(late.ReadHead().rfind("event: pen\ndata: {\"points\":[{\"x\":", 0), 0u);
  // Told once: the flag stays up until the page takes it (which empties the canvas, and the page
  // is told so), and a second press is news again.
  EXPECT_EQ(Get("/Pemrik_Api/GetConfirm"), Return(0));
  while (stream.ReadHead().find("event: pen\ndata: {\"clear\":true}") == std::string::npos) {
  }
  EXPECT_EQ(Get("/Local/Simulate?device=signature&action=confirm"), Return(0));
  std::string frame;
  while ((frame = stream.ReadHead()).find("event: confirm") == std::string::npos) {
    EXPECT_EQ(frame.find("\"points\""), std::string::npos) << "the pen rests";
  }
  EXPECT_EQ(Get("/Pemrik_Api/QuitPMProc"), Return(0));
}

// The connection went (here: a reply that could not come in no time at all) while the program
// runs on: it listens no more, so OpenDev ends it and starts another.
TEST_F(SignatureRoutes, OpenDevReplacesAProgramThatNoLongerListens) {
  ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  const std::vector<uint32_t> first = CapturePrograms();
  ASSERT_EQ(first.size(), 1u);
  signature::SetReplyTimeoutForTesting(0);
  EXPECT_EQ(Get("/Pemrik_Api/GetSign"), Return(-1));
  EXPECT_FALSE(signature::Connected());
  signature::SetReplyTimeoutForTesting(signature::kReplyTimeoutMs);
  EXPECT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  const std::vector<uint32_t> second = CapturePrograms();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second.front(), first.front());
  EXPECT_EQ(Get("/Pemrik_Api/GetConfirm"), Return(-1));
  EXPECT_TRUE(signature::Connected());
}

TEST_F(SignatureRoutes, SignDataWithoutAConnectionOrFormatFails) {
  for (const char* query : {"?format=json", "?format=svg", "?format=png", "?format=JSON", "", "?format=json%00"}) {
    EXPECT_EQ(Get(std::string("/Pemrik_Api/GetSignData") + query), Return(-1)) << query;
  }
  signature::PenPoints points;
  EXPECT_FALSE(signature::FetchPoints(0, &points));
  EXPECT_EQ(signature::PeekConfirmed(), -1);
}

#if !defined(_WIN32)
// Ink pixels of a decoded picture: alpha at least `alpha`.
cv::Mat Ink(const cv::Mat& picture, int alpha) {
  std::vector<cv::Mat> channels;
  cv::split(picture, channels);
  return channels.at(3) >= alpha;
}

// The share of `a`'s ink that has ink of `b` at most `reach` pixels away.
double Covered(const cv::Mat& a, const cv::Mat& b, int reach) {
  int inked = 0, nearby = 0;
  for (int y = 0; y < a.rows; ++y) {
    for (int x = 0; x < a.cols; ++x) {
      if (!a.at<uchar>(y, x)) continue;
      ++inked;
      bool found = false;
      for (int dy = -reach; dy <= reach && !found; ++dy) {
        for (int dx = -reach; dx <= reach && !found; ++dx) {
          const int px = x + dx, py = y + dy;
          found = px >= 0 && py >= 0 && px < b.cols && py < b.rows && b.at<uchar>(py, px);
        }
      }
      nearby += found;
    }
  }
  return inked == 0 ? 0 : static_cast<double>(nearby) / inked;
}
#endif

// The simulated signature as data: the points of its three strokes as JSON, the same strokes as
// an SVG document that a real renderer draws like the PNG, the confirm key told without being
// taken; then it goes with the canvas, and it is nowhere in the logs.
TEST_F(SignatureRoutes, SignDataIsTheSignatureOnTheCanvas) {
  StartLog();
  ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  ASSERT_EQ(Get("/Pemrik_Api/InitDev"), Return(0));
  // The script presses the confirm key after the signature: then the record is whole.
  ASSERT_TRUE(Eventually([] { return signature::PeekConfirmed() == 1; }));
  EXPECT_EQ(signature::PeekConfirmed(), 1);

  const std::string json = Get("/Pemrik_Api/GetSignData?format=json");
  EXPECT_EQ(json.rfind(R"({"width":600,"height":300,"model":"0b57:8420","strokes":[[{"x":)", 0), 0u)
      << json.substr(0, 90);
  const std::string end = R"(}]],"dropped":0})";
  EXPECT_EQ(json.substr(json.size() - end.size()), end);
  size_t strokes = 0;
  for (size_t at = json.find("[{"); at != std::string::npos; at = json.find("[{", at + 1)) ++strokes;
  EXPECT_EQ(strokes, 3u);
  signature::PenPoints points;
  ASSERT_TRUE(signature::FetchPoints(0, &points));
  EXPECT_TRUE(points.confirmed);
  EXPECT_EQ(points.from, 0u);
  EXPECT_EQ(points.next, points.points.size());
  EXPECT_GT(points.points.size(), 300u);
  ASSERT_TRUE(signature::FetchPoints(points.next - 1, &points));
  EXPECT_EQ(points.points.size(), 1u);

  const std::string svgAnswer = test::Get(server_.BoundPort(), "/Pemrik_Api/GetSignData?format=svg");
  EXPECT_NE(svgAnswer.find("\nContent-Type: image/svg+xml\n"), std::string::npos) << svgAnswer.substr(0, 200);
  const std::string svg = test::Body(svgAnswer);
  const std::string sign = Get("/Pemrik_Api/GetSign");
  ASSERT_EQ(sign.rfind(kImagePrefix, 0), 0u);
  const auto png = tw::Base64Decode(sign.substr(sizeof kImagePrefix - 1, sign.size() - sizeof kImagePrefix - 1));
  ASSERT_TRUE(png.has_value());
  const cv::Mat canvas = cv::imdecode(std::vector<uchar>(png->begin(), png->end()), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(canvas.type(), CV_8UC4);

  EXPECT_EQ(Get("/Pemrik_Api/GetSignData?format=png"), Return(-1));
  EXPECT_TRUE(signature::Connected());

  // The confirmation is still there to take, and takes the record with the canvas.
  EXPECT_EQ(Get("/Pemrik_Api/GetConfirm"), Return(0));
  EXPECT_NE(Get("/Pemrik_Api/GetSignData?format=json").find(R"("strokes":[],)"), std::string::npos);

  const std::string sample = std::to_string(points.points[0].x) + " " + std::to_string(points.points[0].y) + " " +
                             std::to_string(points.points[0].p);
  for (const auto& log : {work_.path() / "log.txt", std::filesystem::current_path() / "PemrikProcessor.txt"}) {
    const std::string text = tw::testing::ReadFile(log);
    EXPECT_EQ(text.find(sample), std::string::npos) << log;
    EXPECT_EQ(text.find("\"strokes\""), std::string::npos) << log;
  }

#if defined(_WIN32)
  GTEST_SKIP() << "rsvg-convert is a Linux program: the SVG is drawn in the Linux build";
#else
  if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "rsvg-convert is missing: scripts/setup.sh installs librsvg2-bin";
  }
  tw::testing::WorkDirectory drawn("tw_signature_svg", false);
  const std::string in = (drawn.path() / "sign.svg").string(), out = (drawn.path() / "sign.png").string();
  std::ofstream(in, std::ios::binary) << svg.substr(0, svg.size() - 1);
  ASSERT_EQ(std::system(("rsvg-convert -o '" + out + "' '" + in + "'").c_str()), 0);
  const cv::Mat rendered = cv::imread(out, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(rendered.cols, 600);
  ASSERT_EQ(rendered.rows, 300);
  ASSERT_EQ(rendered.channels(), 4);
  const cv::Mat a = Ink(canvas, 1), b = Ink(rendered, 128);
  const double inkA = cv::countNonZero(a), inkB = cv::countNonZero(b);
  EXPECT_GT(inkA, 2000);
  // Anti-aliased edges against 8-connected lines: nearly every pixel where it is, all of them
  // within a pixel, about as much ink.
  EXPECT_NEAR(inkB / inkA, 1.0, 0.10);
  EXPECT_GE(Covered(a, b, 0), 0.93);
  EXPECT_GE(Covered(b, a, 0), 0.93);
  EXPECT_GE(Covered(a, b, 1), 0.99);
  EXPECT_GE(Covered(b, a, 1), 0.99);
#endif
}

// The data goes with the canvas and the connection: ClearDev empties it, QuitPMProc takes it.
TEST_F(SignatureRoutes, SignDataGoesWithClearDevAndQuitPMProc) {
  ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  ASSERT_EQ(Get("/Pemrik_Api/InitDev"), Return(0));
  signature::PenPoints points;
  ASSERT_TRUE(Eventually([&] { return signature::FetchPoints(0, &points) && points.next > 20; }));
  const uint32_t generation = points.generation;
  EXPECT_EQ(Get("/Pemrik_Api/ClearDev"), Return(0));
  ASSERT_TRUE(signature::FetchPoints(0, &points));
  EXPECT_EQ(points.generation, generation + 1);
  EXPECT_EQ(points.from, 0u);
  EXPECT_EQ(Get("/Pemrik_Api/QuitPMProc"), Return(0));
  EXPECT_EQ(Get("/Pemrik_Api/GetSignData?format=json"), Return(-1));
  EXPECT_FALSE(signature::FetchPoints(0, &points));
}

// A program that starts and ends at once, started in place of the capture program.
#if defined(_WIN32)
const char kQuickProgram[] = "C:\\windows\\system32\\hostname.exe";
#else
const char kQuickProgram[] = "/bin/true";
#endif

// Stands in for the capture program on its port: takes each connection and answers the words
// it receives with `answer` (nothing, by default).
class StandInProgram {
 public:
  using Answer = std::function<void(platform::Socket, const std::string& word)>;
  explicit StandInProgram(Answer answer = {}) : answer_(std::move(answer)) {
    EXPECT_EQ(platform::NetStartup(0x0101), 0);
    listener_ = platform::TcpSocket();
    EXPECT_TRUE(platform::BindAny(listener_, signature::kCommandPort));
    EXPECT_TRUE(platform::Listen(listener_, 4));
    thread_ = std::thread([this] { Serve(); });
    signature::SetProgramForTesting(kQuickProgram);
  }
  ~StandInProgram() {
    done_ = true;
    platform::CloseSocket(listener_);
    thread_.join();
    platform::NetCleanup();
  }

 private:
  void Serve() {
    while (!done_) {
      const platform::Socket s = platform::Accept(listener_);
      if (s == platform::kNoSocket) break;
      std::string word;
      char c;
      while (platform::Receive(s, &c, 1) == 1) {
        if (c != '\0') {
          word += c;
        } else {
          if (answer_) answer_(s, word);
          word.clear();
        }
      }
      platform::CloseSocket(s);
    }
  }
  Answer answer_;
  platform::Socket listener_ = platform::kNoSocket;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A program that takes the connection and never answers: each wait ends at the time-out, the
// connection is torn down, and the service goes on serving.
TEST_F(SignatureRoutes, AProgramThatNeverAnswersCostsOnlyTheTimeOut) {
  StandInProgram silent;
  signature::SetReplyTimeoutForTesting(300);
  for (const char* route : {"/Pemrik_Api/GetSign", "/Pemrik_Api/GetConfirm"}) {
    EXPECT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0)) << route;
    const auto start = steady_clock::now();
    EXPECT_EQ(Get(route), Return(-1)) << route;
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10)) << route;
    EXPECT_FALSE(signature::Connected()) << route;
  }
  EXPECT_EQ(Get("/test").empty(), false);
}

// GetSign waits for the whole picture however the program's sends split it, and passes on only
// Base64 text.
TEST_F(SignatureRoutes, GetSignTakesTheWholePictureAndOnlyBase64) {
  const std::string png =
      std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300, 'x') + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
  const std::string text = tw::Base64(reinterpret_cast<const unsigned char*>(png.data()), png.size());
  std::string quoted = text;
  quoted[40] = '"';
  std::string zero = text;
  zero[40] = '\0';
  const struct {
    const char* name;
    std::vector<std::string> pieces;
    std::string answer;
  } cases[] = {
      {"in one piece", {text}, kImagePrefix + text + "\"}"},
      {"in three pieces", {text.substr(0, 7), text.substr(7, 200), text.substr(207)}, kImagePrefix + text + "\"}"},
      {"a quote inside", {quoted}, Return(-1)},
      {"a zero byte inside", {zero}, Return(-1)},
  };
  std::atomic<const std::vector<std::string>*> pieces{nullptr};
  StandInProgram program([&](platform::Socket s, const std::string& word) {
    if (word != "GetSign") return;
    for (const std::string& piece : *pieces.load()) {
      platform::Send(s, piece.data(), piece.size());
      std::this_thread::sleep_for(milliseconds(50));
    }
  });
  for (const auto& test : cases) {
    pieces = &test.pieces;
    ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0)) << test.name;
    EXPECT_EQ(Get("/Pemrik_Api/GetSign"), test.answer) << test.name;
    Get("/Pemrik_Api/QuitPMProc");
  }
}

// The point reply is read whole however it is split, and only when it reads: anything else closes
// the connection, whose rest could not be told from the next reply.
TEST_F(SignatureRoutes, SignDataTakesOnlyAWholeWellFormedReply) {
  const std::string good = "points 1 0 0 0 2 33824 2\n10 20 300 5\n11 21 300 9\n.\n";
  const std::string json = R"({"width":600,"height":300,"model":"0b57:8420","strokes":[[{"x":10,"y":20,"p":300,"t":5},)"
                           R"({"x":11,"y":21,"p":300,"t":9}]],"dropped":0})";
  const struct {
    const char* name;
    std::vector<std::string> pieces;
    std::string answer;
    bool connected;
  } cases[] = {
      {"in one piece", {good}, json, true},
      {"in pieces", {good.substr(0, 5), good.substr(5, 20), good.substr(25)}, json, true},
      {"cut short", {good.substr(0, 30)}, Return(-1), false},
      {"counted wrong", {"points 1 0 0 0 2 33824 3\n10 20 300 5\n11 21 300 9\n.\n"}, Return(-1), false},
      {"a model of its own", {"points 1 0 0 0 0 <b> 0\n.\n"}, Return(-1), false},
  };
  signature::SetReplyTimeoutForTesting(500);
  std::atomic<const std::vector<std::string>*> pieces{nullptr};
  StandInProgram program([&](platform::Socket s, const std::string& word) {
    if (word != "GetStrokes") return;
    for (const std::string& piece : *pieces.load()) {
      platform::Send(s, piece.data(), piece.size());
      std::this_thread::sleep_for(milliseconds(30));
    }
  });
  for (const auto& test : cases) {
    pieces = &test.pieces;
    ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0)) << test.name;
    EXPECT_EQ(Get("/Pemrik_Api/GetSignData?format=json"), test.answer) << test.name;
    EXPECT_EQ(signature::Connected(), test.connected) << test.name;
    Get("/Pemrik_Api/QuitPMProc");
  }
}

void EndNow(uint32_t pid) {
  platform::process::Terminate(pid);
  ASSERT_TRUE(Eventually([pid] { return !platform::process::Running(pid); }));
}

// The program dies (killed, crashed) while the service holds its connection: the next route
// notices the dead peer, and OpenDev answers 0 only with a new program connected.
TEST_F(SignatureRoutes, AProgramThatDiedIsNoticedAndReplaced) {
  ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  const uint32_t first = CapturePrograms().front();
  EndNow(first);
  EXPECT_EQ(Get("/Pemrik_Api/InitDev"), Return(-1));
  EXPECT_FALSE(signature::Connected());
  ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  const uint32_t second = CapturePrograms().front();
  EXPECT_NE(second, first);
  EndNow(second);
  // Straight to OpenDev: the dead connection goes first.
  ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
  ASSERT_EQ(CapturePrograms().size(), 1u);
  EXPECT_NE(CapturePrograms().front(), second);
  EXPECT_EQ(Get("/Pemrik_Api/InitDev"), Return(0));
  EXPECT_EQ(Get("/Pemrik_Api/GetConfirm"), Return(-1));  // answered "0": a live program
  EXPECT_TRUE(signature::Connected());
}

// A listener on the program's port that never accepts (its queue is full): OpenDev gives up by
// its deadline, says so once in the log, and the service goes on serving.
TEST_F(SignatureRoutes, AListenerThatNeverAcceptsCostsABoundedWait) {
  StartLog();
  ASSERT_EQ(platform::NetStartup(0x0101), 0);
  std::optional<tw::testing::DeafListener> deaf(signature::kCommandPort);
  ASSERT_TRUE(deaf->Full());
  signature::SetProgramForTesting(kQuickProgram);
  const auto start = steady_clock::now();
  EXPECT_EQ(Get("/Pemrik_Api/OpenDev"), Return(-1));
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(60));
  // One record for the whole wait (a second one when another run's capture program was found
  // running and tried first), not one per try.
  EXPECT_GE(LogLines("ERROR: connect Failed!"), 1u);
  EXPECT_LE(LogLines("ERROR: connect Failed!"), 2u);
  EXPECT_FALSE(Get("/test").empty());
  deaf.reset();
  platform::NetCleanup();
}

// The service's end ends the program it started: by "Quit" while it listens, by force when the
// connection has gone and it listens no more.
TEST_F(SignatureRoutes, EndingTheServiceEndsItsProgram) {
  for (const bool connectionLost : {false, true}) {
    ASSERT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0));
    const uint32_t pid = CapturePrograms().front();
    if (connectionLost) {
      signature::SetReplyTimeoutForTesting(0);
      EXPECT_EQ(Get("/Pemrik_Api/GetSign"), Return(-1));
      signature::SetReplyTimeoutForTesting(signature::kReplyTimeoutMs);
    }
    signature::EndCaptureProgram();
    EXPECT_FALSE(signature::Connected()) << connectionLost;
    EXPECT_FALSE(platform::process::Running(pid)) << connectionLost;
  }
}

#if !defined(_WIN32)
// A program of the same name that this service did not start (another user's, another
// instance's, one started by hand) is never ended; the one its previous run recorded is.
TEST_F(SignatureRoutes, OnlyItsOwnProgramsAreEnded) {
  // Runs a while under the program's name and never listens.
  const std::string fake = (work_.path() / "PemrikProcessor").string();
  std::filesystem::copy_file("/bin/sleep", fake);
  const std::string record = (work_.path() / "previous.run").string();
  const struct {
    const char* name;
    bool recorded;
    uint64_t startTimeOffset;
    bool ended;
  } cases[] = {
      {"started by someone else", false, 0, false},
      {"recorded by the previous run", true, 0, true},
      {"its pid recorded, another start time", true, 1, false},
  };
  for (const auto& c : cases) {
    platform::process::StartOptions options;
    options.application = fake;
    options.commandLine = "PemrikProcessor 60";
    uint32_t other = 0;
    ASSERT_TRUE(platform::process::StartAsCurrentUser(options, &other));
    std::remove(record.c_str());
    if (c.recorded) {
      std::ofstream(record) << other << ' ' << platform::process::StartTime(other) + c.startTimeOffset << '\n';
    }
    signature::Program().SetRecordFile(record);
    EXPECT_EQ(Get("/Pemrik_Api/OpenDev"), Return(0)) << c.name;
    EXPECT_EQ(Get("/Pemrik_Api/QuitPMProc"), Return(0)) << c.name;
    EXPECT_TRUE(Eventually([] { return CapturePrograms().empty(); })) << c.name;
    EXPECT_EQ(platform::process::Running(other), !c.ended) << c.name;
    platform::process::Terminate(other);
  }
}
#endif

}  // namespace
