// The signature as data, from the outside: the built service (console mode, simulated devices)
// starts the built capture program beside it, the simulated tablet signs for about 10 s (the
// signature five times over), then "/Pemrik_Api/GetSignData" as JSON and as SVG and
// "/Pemrik_Api/GetSign" are timed over HTTP and their sizes compared.
// It takes the service's first port (12321) and the capture port: run it in a network namespace
// of its own (`unshare -rn`). Usage: signdata_bench [REQUESTS] [SERVICE-BINARY]
#include <signal.h>
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

#include "keepalive_http.h"
#include "measure.h"
#include "platform/net.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kServicePort = 12321;
// Five signatures of about 2 s each, after the 0.6 s lead-in.
constexpr char kTabletScript[] = "sign=5";
constexpr int kSignatures = 5;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Round trips of `path`, in ms; the last answer in `answer`.
std::vector<double> Time(bench::KeepAliveHttp& http, const std::string& path, int requests, std::string* answer) {
  std::vector<double> ms;
  for (int i = 0; i < requests; ++i) {
    const auto start = Clock::now();
    *answer = http.Get(path);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(5, std::atoi(argv[1])) : 100;
  const std::string service = argc > 2 ? argv[2] : TW_SERVICE_BINARY;
  char scratch[] = "/tmp/tw_signdata_bench_XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  setenv("TARNWICK_SIM", "1", 1);
  setenv("TARNWICK_SIM_TABLET", kTabletScript, 1);
  platform::NetStartup(0x0101);

  const pid_t pid = bench::SpawnConsole(service, scratch);
  if (pid < 0) return 1;
  const auto stop = [&](int code) {
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
    std::filesystem::remove_all(scratch);
    return code;
  };
  bench::KeepAliveHttp http;
  if (!bench::OpenWhenListening(http, kServicePort)) {
    std::fprintf(stderr, "the service does not listen on %u\n", kServicePort);
    return stop(1);
  }
  if (http.Get("/Pemrik_Api/OpenDev") != "{\"return\":0}" || http.Get("/Pemrik_Api/InitDev") != "{\"return\":0}") {
    std::fprintf(stderr, "the capture program did not start\n");
    return stop(1);
  }

  // The signing ends when the record stops growing.
  const auto signingStart = Clock::now();
  std::string json;
  size_t last = 0;
  int still = 0;
  while (still < 10 && Clock::now() - signingStart < std::chrono::seconds(40)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    json = http.Get("/Pemrik_Api/GetSignData?format=json");
    still = json.size() == last && Count(json, "[{") > 0 ? still + 1 : 0;
    last = json.size();
  }
  const double signedSeconds =
      std::chrono::duration<double>(Clock::now() - signingStart).count() - 1.0 /* the still second */ - 0.6;
  const size_t strokes = Count(json, "[{"), points = Count(json, "{\"x\":");
  if (strokes != 3 * kSignatures) {
    std::fprintf(stderr, "expected %d strokes, the data has %zu\n", 3 * kSignatures, strokes);
    return stop(1);
  }

  std::string svg, sign;
  std::vector<double> jsonMs, svgMs, signMs;
  // Alternating blocks, so that drift of the machine's load hits all three alike.
  for (int block = 0; block < 5; ++block) {
    const int n = requests / 5;
    const auto j = Time(http, "/Pemrik_Api/GetSignData?format=json", n, &json);
    const auto s = Time(http, "/Pemrik_Api/GetSignData?format=svg", n, &svg);
    const auto p = Time(http, "/Pemrik_Api/GetSign", n, &sign);
    jsonMs.insert(jsonMs.end(), j.begin(), j.end());
    svgMs.insert(svgMs.end(), s.begin(), s.end());
    signMs.insert(signMs.end(), p.begin(), p.end());
  }
  if (svg.rfind("<?xml", 0) != 0 || sign.rfind("{\"result\":\"data:image/png;base64,", 0) != 0 || sign.size() < 40) {
    std::fprintf(stderr, "unexpected answers: %.40s / %.40s\n", svg.c_str(), sign.c_str());
    return stop(1);
  }
  // The PNG itself: the Base64 between the data URL's prefix and the closing quote.
  const std::string prefix = "{\"result\":\"data:image/png;base64,", suffix = "\"}";
  const std::string base64 = sign.substr(prefix.size(), sign.size() - prefix.size() - suffix.size());
  const size_t pngBytes = base64.size() / 4 * 3 - Count(base64.substr(base64.size() - 2), "=");

  std::printf("signature: %.1f s of signing, %zu strokes, %zu points\n", signedSeconds, strokes, points);
  bench::ReportMedian("GetSignData?format=json over HTTP (" + std::to_string(json.size()) + "-byte answer)", jsonMs, 2,
                      "ms", 5);
  bench::ReportMedian("GetSignData?format=svg over HTTP (" + std::to_string(svg.size()) + "-byte answer)", svgMs, 2,
                      "ms", 10);
  bench::ReportMedian(
      "GetSign over HTTP (" + std::to_string(sign.size()) + "-byte answer, PNG " + std::to_string(pngBytes) + " bytes)",
      signMs, 2, "ms", 10);
  std::printf("sizes: json %zu bytes, svg %zu bytes, PNG %zu bytes (as its Base64 answer %zu bytes)\n", json.size(),
              svg.size(), pngBytes, sign.size());
  std::printf(
      "{\"jsonMedianMs\":%.2f,\"svgMedianMs\":%.2f,\"pngMedianMs\":%.2f,\"jsonBytes\":%zu,\"svgBytes\":%zu,"
      "\"pngBytes\":%zu}\n",
      bench::Percentile(jsonMs, 0.5), bench::Percentile(svgMs, 0.5), bench::Percentile(signMs, 0.5), json.size(),
      svg.size(), pngBytes);
  http.Get("/Pemrik_Api/QuitPMProc");
  return stop(bench::Percentile(jsonMs, 0.5) <= 5 && bench::Percentile(svgMs, 0.5) <= 10 ? 0 : 1);
}
