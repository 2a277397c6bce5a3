// How device families keep out of each other's way. Three figures:
// - the latency a device route's lane adds, in-process: the same trivial handler registered for
//   the I/O thread and for a lane, asked in alternating blocks on one keep-alive connection;
// - against `Tarnwick console` with simulated devices, while the signature lane waits on a deaf
//   capture program (this program listens on its port and never answers): ID-card reads and
//   /Local/GetVersion from other clients;
// - while 300 clients pipeline photo reads and never read an answer: a new client's
//   /Local/GetVersion and its ID-card reads.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/http.h"
#include "measure.h"
#include "service_process.h"

namespace {

using namespace bench;

constexpr uint16_t kCapturePort = 45654;
constexpr char kCardRead[] = "/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=3";

// A blocking keep-alive connection to 127.0.0.1.
class Conn {
 public:
  explicit Conn(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
  }
  ~Conn() { close(fd_); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  void Send(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      const ssize_t n = send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send");
      at += static_cast<size_t>(n);
    }
  }
  // One whole answer: the service's envelope or a plain refusal.
  std::string Answer() {
    for (;;) {
      if (const size_t size = AnswerSize(buf_, buf_.rfind("HTTP/1.1 200", 0) == 0)) {
        std::string answer = buf_.substr(0, size);
        buf_.erase(0, size);
        return answer;
      }
      char chunk[65536];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) throw std::runtime_error("the connection ended");
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }
  std::string Get(const std::string& target) {
    Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return Answer();
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string buf_;
};

struct Figures {
  double median = 0, p99 = 0, max = 0;
  int refused = 0;  // 503 answers
};

Figures Summarize(const std::vector<double>& ms, int refused = 0) {
  Figures f;
  f.median = Percentile(ms, 0.5);
  f.p99 = Percentile(ms, 0.99);
  f.max = Percentile(ms, 1.0);
  f.refused = refused;
  return f;
}

// Times `count` GETs of `target`, each on a fresh connection or all on one.
Figures Time(uint16_t port, const std::string& target, int count, bool freshConnection) {
  std::vector<double> ms;
  int refused = 0;
  std::unique_ptr<Conn> kept;
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    if (freshConnection || !kept) kept = std::make_unique<Conn>(port);
    const std::string answer = kept->Get(target);
    ms.push_back(Ms(Clock::now() - t0));
    if (answer.rfind("HTTP/1.1 503", 0) == 0) ++refused;
  }
  return Summarize(ms, refused);
}

void Print(const char* what, const Figures& f, const char* target) {
  std::printf("%-44s median %8.3f ms  p99 %8.3f ms  max %8.3f ms  503s %d  (%s)\n", what, f.median, f.p99, f.max,
              f.refused, target);
}

bool Trivial(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  reply(c, "{\"return\":0}");
  return true;
}

// The lane's own cost: the same handler on the I/O thread and on a lane, in alternating blocks.
double AddedMicros(int requests) {
  Tarnwick server;
  server.Init("0");
  server.AddHandler("/Hop/Here", Trivial, Family::Local);
  server.AddHandler("/Hop/Lane", Trivial, Family::Terminal);
  if (!server.Start()) throw std::runtime_error("in-process server");
  std::atomic<bool> stop{false};
  std::thread polling([&] {
    while (!stop) server.PollOnce(100);
  });
  std::vector<double> here, lane;
  {
    Conn c(server.BoundPort());
    for (int i = 0; i < 2000; ++i) c.Get(i % 2 ? "/Hop/Here" : "/Hop/Lane");  // warm up
    for (int block = 0; block < requests / 500; ++block) {
      const bool onLane = block % 2 == 1;
      for (int i = 0; i < 500; ++i) {
        const auto t0 = Clock::now();
        c.Get(onLane ? "/Hop/Lane" : "/Hop/Here");
        (onLane ? lane : here).push_back(Us(Clock::now() - t0));
      }
    }
  }
  stop = true;
  server.Interrupt();
  polling.join();
  server.Close();
  const double hereMedian = Percentile(here, 0.5), laneMedian = Percentile(lane, 0.5);
  std::printf("%-44s median %8.1f us on the I/O thread, %8.1f us on a lane: added %.1f us (target <= 50)\n",
              "trivial handler, one keep-alive connection", hereMedian, laneMedian, laneMedian - hereMedian);
  return laneMedian - hereMedian;
}

// Takes the capture program's connection and never answers a word.
class DeafCaptureProgram {
 public:
  DeafCaptureProgram() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kCapturePort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0)
      throw std::runtime_error("port 45654 is taken: stop the capture program that holds it");
    thread_ = std::thread([this] {
      for (;;) {
        const int peer = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) return;
        peers_.push_back(peer);
        std::thread([peer] {
          char sink[4096];
          while (recv(peer, sink, sizeof sink, 0) > 0) {
          }
        }).detach();
      }
    });
  }
  ~DeafCaptureProgram() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
    for (int peer : peers_) shutdown(peer, SHUT_RDWR);
  }

 private:
  int fd_;
  std::vector<int> peers_;
  std::thread thread_;
};

struct Options {
  std::string binary = TW_BENCH_DEFAULT_BINARY;
  int hopRequests = 20000;
  int pipeliners = 300;
  int pipelined = 20;
};

int Run(const Options& o) {
  bool ok = true;
  const double added = AddedMicros(o.hopRequests);
  ok &= added <= 50;

  setenv("TARNWICK_SIM", "1", 1);
  InstallAlarm();
  alarm(300);
  Service s;
  try {
    DeafCaptureProgram deaf;
    Spawn(s, o.binary);
    const uint16_t port = WaitListening(s, Clock::now(), PredictPort()).port;
    StartDrain(s);
    Time(port, kCardRead, 20, false);  // the reader's first open is behind us

    // The signature lane waits its 5 s per GetSign on the deaf program, again and again.
    std::atomic<bool> signing{true};
    auto pad = std::make_unique<Conn>(port);
    const std::string opened = pad->Get("/Pemrik_Api/OpenDev");
    if (opened.find("\"return\":0") == std::string::npos && opened.find("\"return\":1") == std::string::npos)
      throw std::runtime_error("OpenDev: " + Escaped(opened));
    std::thread waiting([&] {
      try {
        while (signing) pad->Get("/Pemrik_Api/GetSign");
      } catch (const std::exception& e) {
        if (signing) std::fprintf(stderr, "GetSign: %s\n", e.what());
      }
    });
    struct Joined {
      std::atomic<bool>& signing;
      std::thread& thread;
      ~Joined() {
        signing = false;
        if (thread.joinable()) thread.join();  // its GetSign ends within 5 s
      }
    } joined{signing, waiting};
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Figures cardWhileSigning = Time(port, kCardRead, 300, false);
    const Figures versionWhileSigning = Time(port, "/Local/GetVersion", 3000, false);
    signing = false;
    Print("card read while the pad waits", cardWhileSigning, "target p99 <= 10 ms");
    Print("/Local/GetVersion while the pad waits", versionWhileSigning, "target p99 <= 10 ms");
    ok &= cardWhileSigning.p99 <= 10 && versionWhileSigning.p99 <= 10;

    // Clients that pipeline photo reads and read nothing.
    std::vector<std::unique_ptr<Conn>> flood;
    std::string many;
    for (int i = 0; i < o.pipelined; ++i)
      many += std::string("GET ") + kCardRead + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (int i = 0; i < o.pipeliners; ++i) {
      flood.push_back(std::make_unique<Conn>(port));
      flood.back()->Send(many);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Figures versionUnderFlood = Time(port, "/Local/GetVersion", 2000, false);
    const Figures cardUnderFlood = Time(port, kCardRead, 50, true);
    Print("/Local/GetVersion beside 300 pipeliners", versionUnderFlood, "target p99 <= 100 ms");
    Print("card read (new connection) beside them", cardUnderFlood, "target max <= 1000 ms, no 503");
    ok &= versionUnderFlood.p99 <= 100 && cardUnderFlood.max <= 1000 && cardUnderFlood.refused == 0;
    flood.clear();
    signing = false;
    if (waiting.joinable()) waiting.join();  // its GetSign ends within 5 s
    pad.reset();

    // Every lane has run; none may wake while nothing is asked and no connection is open.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int threads = 0;
    const long before = ContextSwitches(s.pid, &threads);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double wakeups = static_cast<double>(ContextSwitches(s.pid, &threads) - before) / 3.0;
    std::printf("%-44s %.2f per second over %d threads (target <= 0.1)\n", "idle wake-ups after every lane ran",
                wakeups, threads);
    ok &= wakeups <= 0.1;
    ExpectAlive(s, "the run");
    int exitCode = -1;
    std::printf("stop: %s\n", StopService(s, &exitCode).c_str());
    std::printf(
        "{\"added_us\":%.1f,\"card_while_signing_p99_ms\":%.3f,\"version_while_signing_p99_ms\":%.3f,"
        "\"version_under_flood_p99_ms\":%.3f,\"card_under_flood_max_ms\":%.3f,\"card_under_flood_503\":%d,"
        "\"idle_wakeups_per_s\":%.2f}\n",
        added, cardWhileSigning.p99, versionWhileSigning.p99, versionUnderFlood.p99, cardUnderFlood.max,
        cardUnderFlood.refused, wakeups);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lanes_bench: %s\n", e.what());
    Cleanup(s);
    return 1;
  }
  Cleanup(s);
  if (!ok) std::printf("a target was missed\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--binary" && hasValue) {
      o.binary = argv[++i];
    } else if (a == "--hop-requests" && hasValue) {
      o.hopRequests = std::max(1000, std::atoi(argv[++i]));
    } else if (a == "--pipeliners" && hasValue) {
      o.pipeliners = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: lanes_bench [--binary PATH] [--hop-requests N] [--pipeliners N]\n");
      return 2;
    }
  }
  return Run(o);
}
