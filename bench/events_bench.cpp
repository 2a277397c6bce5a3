// The event stream of a real service with simulated devices ("Tarnwick console", TARNWICK_SIM=1):
//  - a card placed or taken (the simulation route) to its event at a client, at the default
//    poll period of 300 ms: p99 against the period + 20 ms;
//  - a device plugged or unplugged to its event: p99 against 50 ms;
//  - the pen's points while the simulated tablet signs (five signatures, about 10 s): from a
//    point's drawing in the capture program to its arrival at a client, p99 against 50 ms. The
//    two processes share no clock origin: a point carries its ms since InitDev, so each event's
//    arrival minus its newest point's time, less the smallest such difference, is its delay
//    beyond the fastest event's (which lies under a millisecond);
//  - one stream of topic device, one of topic key (which polls the key twice a second), and 32
//    streams open and idle: wake-ups per second (the keep-alive comes every 15 s) and resident
//    memory, also after the hold (devices move once a second meanwhile, so the history fills
//    and must stay bounded).
#include <boost/asio.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "measure.h"
#include "service_process.h"

namespace {

using namespace bench;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// One HTTP/1.1 connection; a GET's answer, or an event stream's frames.
class Client {
 public:
  explicit Client(uint16_t port) : socket_(ioc_) {
    socket_.connect({asio::ip::address_v4::loopback(), port});
    socket_.set_option(tcp::no_delay(true));
  }
  void Send(const std::string& target) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    asio::write(socket_, asio::buffer(request));
  }
  std::string Get(const std::string& target) {
    Send(target);
    for (;;) {
      if (const size_t n = AnswerSize(pending_)) {
        std::string answer = pending_.substr(0, n);
        pending_.erase(0, n);
        return answer;
      }
      Fill();
    }
  }
  // The next block up to a blank line: the stream's head, then one frame at a time.
  std::string Next() {
    for (;;) {
      const size_t end = pending_.find("\n\n");
      if (end != std::string::npos) {
        std::string frame = pending_.substr(0, end + 2);
        pending_.erase(0, end + 2);
        return frame;
      }
      Fill();
    }
  }
  // Ends a read that another thread waits in.
  void Shutdown() { ::shutdown(socket_.native_handle(), SHUT_RDWR); }
  // The next frame with an id (snapshots and the retry hint carry none).
  std::string NextEvent() {
    for (;;) {
      std::string frame = Next();
      if (frame.rfind("id: ", 0) == 0) return frame;
    }
  }

 private:
  void Fill() {
    char buf[4096];
    const size_t n = socket_.read_some(asio::buffer(buf));
    pending_.append(buf, n);
  }
  asio::io_context ioc_;
  tcp::socket socket_;
  std::string pending_;
};

std::unique_ptr<Client> OpenStream(uint16_t port, const std::string& query) {
  auto c = std::make_unique<Client>(port);
  c->Send("/Local/Events?" + query);
  const std::string head = c->Next();
  if (head.find("text/event-stream") == std::string::npos) throw std::runtime_error("no stream: " + Escaped(head));
  return c;
}

// From the simulation request sent to the event's arrival at `stream`, `rounds` times, the
// action alternating between the two.
std::vector<double> Latencies(uint16_t port, Client& stream, const std::string& device, const char* on, const char* off,
                              int rounds) {
  Client control(port);
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    const std::string answer = control.Get("/Local/Simulate?device=" + device + "&action=" + (i % 2 == 0 ? off : on));
    if (answer.find("{\"return\":0}") == std::string::npos) throw std::runtime_error(Escaped(answer));
    stream.NextEvent();
    ms.push_back(Ms(Clock::now() - t0));
  }
  return ms;
}

void Report(const char* what, const std::vector<double>& ms, double target) {
  const double p99 = Percentile(ms, 0.99);
  std::printf("%-40s median %7.1f ms, p99 %7.1f ms (target p99 <= %g ms: %s)\n", what, Percentile(ms, 0.5), p99, target,
              p99 <= target ? "met" : "MISSED");
}

// The delay of each pen event beyond the fastest one's, while the simulated tablet signs.
std::vector<double> PenDelays(uint16_t port, int seconds) {
  auto pen = OpenStream(port, "topics=pen");
  Client pad(port);
  const std::string opened = pad.Get("/Pemrik_Api/OpenDev");
  if (opened.find("\"return\":0") == std::string::npos) throw std::runtime_error("OpenDev: " + Escaped(opened));
  pad.Get("/Pemrik_Api/InitDev");
  std::vector<double> differences;
  std::thread reader([&] {
    try {
      for (;;) {
        const std::string frame = pen->NextEvent();
        const double arrived = Ms(Clock::now().time_since_epoch());
        const size_t last = frame.rfind("\"t\":");
        if (last != std::string::npos) differences.push_back(arrived - std::atof(frame.c_str() + last + 4));
      }
    } catch (const std::exception&) {
      // the stream was shut down: the signing is over
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  pen->Shutdown();
  reader.join();
  pad.Get("/Pemrik_Api/QuitPMProc");
  if (differences.size() < 10) throw std::runtime_error("too few pen events");
  const double fastest = *std::min_element(differences.begin(), differences.end());
  for (double& d : differences) d -= fastest;
  return differences;
}

struct Idle {
  double wakeups;
  long rssKib;
};

Idle IdleFigures(Service& s, int seconds) {
  int threads = 0;
  const long c0 = ContextSwitches(s.pid, &threads);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  ExpectAlive(s, "while idle");
  const long c1 = ContextSwitches(s.pid, &threads);
  return {static_cast<double>(c1 - c0) / std::chrono::duration<double>(Clock::now() - t0).count(), RssKib(s.pid)};
}

struct Options {
  std::string binary = TW_BENCH_DEFAULT_BINARY;
  int cardRounds = 40;
  int deviceRounds = 200;
  int idleSeconds = 32;  // past two keep-alive intervals
  int holdSeconds = 30;
  int penSeconds = 12;
};

int Run(const Options& o) {
  setenv("TARNWICK_SIM", "1", 1);
  setenv("TARNWICK_SIM_TABLET", "sign=5", 1);
  InstallAlarm();
  alarm(static_cast<unsigned>(120 + o.cardRounds + 3 * o.idleSeconds + o.holdSeconds + o.penSeconds));
  Service s;
  try {
    Spawn(s, o.binary);
    const uint16_t port = WaitListening(s, Clock::now(), PredictPort()).port;
    StartDrain(s);

    {
      auto cards = OpenStream(port, "topics=card");
      cards->NextEvent();  // the card that lies there from the start
      Report("card placed/taken to event (300 ms poll)",
             Latencies(port, *cards, "idcard", "place", "remove", o.cardRounds), 320);
      auto devices = OpenStream(port, "topics=device");
      Report("device plugged/unplugged to event",
             Latencies(port, *devices, "terminal", "plug", "unplug", o.deviceRounds), 50);
    }
    const std::vector<double> pen = PenDelays(port, o.penSeconds);
    std::printf("%zu pen events; ", pen.size());
    Report("pen point drawn to event (beyond fastest)", pen, 50);

    for (const char* topics : {"device", "key"}) {
      auto one = OpenStream(port, std::string("topics=") + topics);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const Idle idle = IdleFigures(s, o.idleSeconds);
      std::printf("1 stream (%s), idle %d s: %.3f wake-ups/s, %ld KiB resident\n", topics, o.idleSeconds, idle.wakeups,
                  idle.rssKib);
    }

    std::vector<std::unique_ptr<Client>> streams;
    for (int i = 0; i < 32; ++i) streams.push_back(OpenStream(port, "topics=device"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Idle open32 = IdleFigures(s, o.idleSeconds);
    std::printf("32 streams (device), idle %d s: %.3f wake-ups/s, %ld KiB resident\n", o.idleSeconds, open32.wakeups,
                open32.rssKib);
    // Devices now move once a second and every stream reads its events: the history fills up.
    Client control(port);
    const auto until = Clock::now() + std::chrono::seconds(o.holdSeconds);
    for (int i = 0; Clock::now() < until; ++i) {
      control.Get(std::string("/Local/Simulate?device=terminal&action=") + (i % 2 == 0 ? "unplug" : "plug"));
      for (auto& c : streams) c->NextEvent();
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    ExpectAlive(s, "holding 32 streams");
    std::printf("32 streams after %d s with 1 event/s: %ld KiB resident (was %ld KiB), peak %ld KiB\n", o.holdSeconds,
                RssKib(s.pid), open32.rssKib, PeakRssKib(s.pid));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "events_bench: %s\n", e.what());
    Cleanup(s);
    return 1;
  }
  Cleanup(s);
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
    } else if (a == "--idle-seconds" && hasValue) {
      o.idleSeconds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--hold-seconds" && hasValue) {
      o.holdSeconds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--card-rounds" && hasValue) {
      o.cardRounds = std::max(2, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr,
                   "usage: events_bench [--binary PATH] [--idle-seconds N] [--hold-seconds N] [--card-rounds N]\n");
      return 2;
    }
  }
  return Run(o);
}
