// Signature route figures, from the outside: the built service (console mode, simulated devices)
// starts the built capture program beside it.
//  - "/Pemrik_Api/OpenDev" from nothing running to connected;
//  - "/Pemrik_Api/GetSign" end to end over HTTP, the canvas holding the whole signature.
// It takes the service's first port (12321) and the capture port: run it in a network namespace
// of its own (`unshare -rn`). Usage: signature_bench [ROUNDS] [SERVICE-BINARY]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kServicePort = 12321;

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))];
}

// One keep-alive HTTP connection to the service.
class Http {
 public:
  bool Open() {
    socket_ = platform::TcpSocket();
    return platform::ConnectLoopback(socket_, kServicePort);
  }
  ~Http() { platform::CloseSocket(socket_); }
  // The body of the answer to a GET (the envelope's trailing LF dropped); empty on failure.
  std::string Get(const std::string& path) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (platform::Send(socket_, request.data(), request.size()) != static_cast<long>(request.size())) return "";
    size_t head;
    while ((head = pending_.find("\n\n")) == std::string::npos) {
      if (!Fill()) return "";
    }
    const size_t at = pending_.find("Content-Length: ");
    if (at == std::string::npos || at > head) return "";
    const size_t length = std::strtoul(pending_.c_str() + at + 16, nullptr, 10);
    while (pending_.size() < head + 2 + length + 1) {
      if (!Fill()) return "";
    }
    std::string body = pending_.substr(head + 2, length);
    pending_.erase(0, head + 2 + length + 1);
    return body;
  }

 private:
  bool Fill() {
    char chunk[1 << 16];
    const long n = platform::Receive(socket_, chunk, sizeof chunk, 20000);
    if (n <= 0) return false;
    pending_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  platform::Socket socket_ = platform::kNoSocket;
  std::string pending_;
};

bool CapturePrograms() {
  std::vector<platform::process::Entry> entries;
  platform::process::Snapshot(&entries);
  return std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.name == "PemrikProcessor"; });
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 20;
  const std::string service = argc > 2 ? argv[2] : TW_SERVICE_BINARY;
  char scratch[] = "/tmp/tw_signature_bench_XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  setenv("TARNWICK_SIM", "1", 1);
  setenv("TARNWICK_SIM_TABLET", "sign", 1);
  platform::NetStartup(0x0101);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, scratch);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  char* args[] = {const_cast<char*>(service.c_str()), const_cast<char*>("console"), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, service.c_str(), &actions, nullptr, args, environ) != 0) return 1;
  posix_spawn_file_actions_destroy(&actions);
  Http http;
  bool up = false;
  for (int i = 0; i < 500 && !(up = http.Open()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!up) {
    std::fprintf(stderr, "the service does not listen on %u\n", kServicePort);
    return 1;
  }

  // OpenDev from nothing: each round ends the program and waits until it is gone.
  std::vector<double> open;
  for (int i = 0; i < rounds; ++i) {
    http.Get("/Pemrik_Api/QuitPMProc");
    for (int w = 0; w < 500 && CapturePrograms(); ++w) std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
  kill(pid, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
  std::filesystem::remove_all(scratch);

  std::printf("OpenDev, nothing running to connected (%d rounds): median %.0f ms, p90 %.0f ms, max %.0f ms\n", rounds,
              Percentile(open, 0.5), Percentile(open, 0.9), Percentile(open, 1.0));
  std::printf("GetSign over HTTP, whole signature (%zu-byte answer, %zu requests): median %.2f ms, p90 %.2f ms\n", size,
              sign.size(), Percentile(sign, 0.5), Percentile(sign, 0.9));
  std::printf("{\"openDevMedianMs\":%.0f,\"getSignMedianMs\":%.2f}\n", Percentile(open, 0.5), Percentile(sign, 0.5));
  return Percentile(open, 0.5) <= 500 && Percentile(sign, 0.5) <= 10 ? 0 : 1;
}
