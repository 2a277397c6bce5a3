// Signature route figures, from the outside: the built service (console mode, simulated devices)
// starts the built capture program beside it.
//  - "/Pemrik_Api/OpenDev" from nothing running to connected;
//  - "/Pemrik_Api/GetSign" end to end over HTTP, the canvas holding the whole signature;
//  - the longest any route waits while the capture program is deaf (stopped), silent (a stand-in
//    that reads and never answers), killed, or replaced by a listener that never accepts: the
//    signature routes in turn, and "/Local/GetVersion" asked all the while on another connection.
// It takes the service's first port (12321) and the capture port: run it in a network namespace
// of its own (`unshare -rn`). Usage: signature_bench [ROUNDS] [SERVICE-BINARY]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "keepalive_http.h"
#include "platform/net.h"
#include "platform/process.h"
#include "tw/deaf_listener.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kServicePort = 12321;

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))];
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The capture program the service started, as it recorded it; 0 when none runs.
std::string g_scratch;
pid_t CaptureProgram() {
  std::ifstream in(g_scratch + "/Log/PemrikProcessor.run");
  long pid = 0;
  in >> pid;
  return pid > 0 && platform::process::Running(static_cast<uint32_t>(pid)) ? static_cast<pid_t>(pid) : 0;
}

void WaitNoCaptureProgram() {
  for (int w = 0; w < 500 && CaptureProgram() != 0; ++w) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Asks "/Local/GetVersion" on a connection of its own until stopped; the longest round trip.
class Bystander {
 public:
  Bystander() {
    if (!http_.Open(kServicePort)) return;
    thread_ = std::thread([this] {
      while (!stop_) {
        const auto start = Clock::now();
        if (http_.Get("/Local/GetVersion").empty()) break;
        longest_ = std::max(longest_.load(), MsSince(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  double Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return longest_;
  }

 private:
  bench::KeepAliveHttp http_;
  std::atomic<bool> stop_{false};
  std::atomic<double> longest_{0};
  std::thread thread_;
};

// A stand-in on the capture port that takes the connection and reads, never answering.
class Silent {
 public:
  Silent() {
    listener_ = platform::TcpSocket();
    if (!platform::BindLoopback(listener_, 45654) || !platform::Listen(listener_, 4)) {
      std::fprintf(stderr, "the capture port is taken\n");
      std::exit(1);
    }
    thread_ = std::thread([this] {
      const platform::Socket s = platform::Accept(listener_);
      char sink[256];
      while (s != platform::kNoSocket && platform::Receive(s, sink, sizeof sink) > 0) {
      }
      platform::CloseSocket(s);
    });
  }
  ~Silent() {
    platform::CloseSocket(listener_);
    thread_.join();
  }

 private:
  platform::Socket listener_ = platform::kNoSocket;
  std::thread thread_;
};

struct Worst {
  double ms = 0;
  std::string route;
  void Take(double t, const std::string& r) {
    if (t > ms) {
      ms = t;
      route = r;
    }
  }
};

// Every signature route once, in the order a page uses them; the longest wait among them.
Worst RoutesInTurn(bench::KeepAliveHttp& http) {
  Worst worst;
  for (const char* route :
       {"OpenDev", "InitDev", "ClearDev", "GetConfirm", "GetSign", "CloseDev", "OpenDev", "QuitPMProc"}) {
    const auto start = Clock::now();
    http.Get(std::string("/Pemrik_Api/") + route);
    worst.Take(MsSince(start), route);
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 20;
  const std::string service = argc > 2 ? argv[2] : TW_SERVICE_BINARY;
  char scratch[] = "/tmp/tw_signature_bench_XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  g_scratch = scratch;
  setenv("TARNWICK_SIM", "1", 1);
  setenv("TARNWICK_SIM_TABLET", "sign", 1);
  platform::NetStartup(0x0101);

  const pid_t pid = bench::SpawnConsole(service, scratch);
  if (pid < 0) return 1;
  bench::KeepAliveHttp http;
  if (!bench::OpenWhenListening(http, kServicePort)) {
    std::fprintf(stderr, "the service does not listen on %u\n", kServicePort);
    return 1;
  }

  // OpenDev from nothing: each round ends the program and waits until it is gone.
  std::vector<double> open;
  for (int i = 0; i < rounds; ++i) {
    http.Get("/Pemrik_Api/QuitPMProc");
    WaitNoCaptureProgram();
    const auto start = Clock::now();
    const std::string answer = http.Get("/Pemrik_Api/OpenDev");
    open.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (answer != "{\"return\":0}") {
      std::fprintf(stderr, "OpenDev answered %s\n", answer.c_str());
      return 1;
    }
  }

  // GetSign of the whole signature.
  http.Get("/Pemrik_Api/InitDev");
  std::this_thread::sleep_for(std::chrono::seconds(4));  // lead-in and the signature
  std::vector<double> sign;
  size_t size = 0;
  for (int i = 0; i < rounds * 5; ++i) {
    const auto start = Clock::now();
    const std::string answer = http.Get("/Pemrik_Api/GetSign");
    sign.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    size = answer.size();
    if (answer.rfind("{\"result\":\"data:image/png;base64,", 0) != 0) {
      std::fprintf(stderr, "GetSign answered %.60s\n", answer.c_str());
      return 1;
    }
  }
  http.Get("/Pemrik_Api/QuitPMProc");
  WaitNoCaptureProgram();

  // The capture program at its worst: each way, the signature routes in turn while a bystander
  // asks for the version.
  struct Fault {
    const char* name;
    Worst routes;
    double bystander = 0;
  };
  std::vector<Fault> faults;
  const auto measure = [&](const char* name, auto&& arrange) {
    Bystander bystander;
    arrange();
    Fault f{name, RoutesInTurn(http)};
    f.bystander = bystander.Stop();
    faults.push_back(f);
    http.Get("/Pemrik_Api/QuitPMProc");
    if (const pid_t left = CaptureProgram()) kill(left, SIGKILL);
    WaitNoCaptureProgram();
  };
  measure("deaf (stopped)", [&] {
    http.Get("/Pemrik_Api/OpenDev");
    if (const pid_t p = CaptureProgram()) kill(p, SIGSTOP);
  });
  measure("killed", [&] {
    http.Get("/Pemrik_Api/OpenDev");
    if (const pid_t p = CaptureProgram()) kill(p, SIGKILL);
  });
  {
    Silent silent;
    measure("silent (reads, never answers)", [] {});
  }
  {
    tw::testing::DeafListener deaf(45654);
    if (!deaf.Full()) {
      std::fprintf(stderr, "the capture port is taken\n");
      return 1;
    }
    measure("a listener that never accepts", [] {});
  }

  kill(pid, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
  std::filesystem::remove_all(scratch);

  std::printf("OpenDev, nothing running to connected (%d rounds): median %.0f ms, p90 %.0f ms, max %.0f ms\n", rounds,
              Percentile(open, 0.5), Percentile(open, 0.9), Percentile(open, 1.0));
  std::printf("GetSign over HTTP, whole signature (%zu-byte answer, %zu requests): median %.2f ms, p90 %.2f ms\n", size,
              sign.size(), Percentile(sign, 0.5), Percentile(sign, 0.9));
  double worst = 0;
  for (const Fault& f : faults) {
    std::printf("capture program %s: longest signature route %.0f ms (%s), longest /Local/GetVersion %.0f ms\n", f.name,
                f.routes.ms, f.routes.route.c_str(), f.bystander);
    worst = std::max({worst, f.routes.ms, f.bystander});
  }
  std::printf("{\"openDevMedianMs\":%.0f,\"openDevMaxMs\":%.0f,\"getSignMedianMs\":%.2f,\"worstWaitMs\":%.0f}\n",
              Percentile(open, 0.5), Percentile(open, 1.0), Percentile(sign, 0.5), worst);
  // Every wait is bounded: the reply time-out (5 s) and the start-up wait (5 s) plus ending the
  // program that never connected.
  return Percentile(open, 0.5) <= 500 && Percentile(sign, 0.5) <= 10 && worst <= 10000 ? 0 : 1;
}
