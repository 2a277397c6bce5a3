// Card-terminal route figures over HTTP: the service's server, route handlers, the card-library
// stand-in, the transfer library and the simulated terminal on the mass-storage path, in one
// process (the program loads the same code from its libraries). One keep-alive connection.
//  - "/Jrs_Api/JrsCardGetFprImage": hex text to BMP, Log/Fpr.bmp, Base64, the 42007-byte answer;
//  - the same after reading the fingerprint from the terminal ("/Jrs_Api/JrsCardCommRead").
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/host.h"
#include "http/http.h"
#include "measure.h"
#include "raw_client.h"
#include "sim/card_terminal.h"

namespace {

using bench::Percentile;
using Clock = std::chrono::steady_clock;

std::string Get(test::RawClient& c, const std::string& target) {
  c.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
  return test::Body(c.ReadAnswer());
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

std::vector<double> Measure(test::RawClient& c, const std::vector<std::string>& targets, int iterations) {
  std::vector<double> ms;
  for (int i = 0; i < iterations + 20; ++i) {
    const auto t0 = Clock::now();
    std::string last;
    for (const std::string& t : targets) last = Get(c, t);
    const auto t1 = Clock::now();
    if (last.size() != 42008 || last.rfind("{\"result\":\"data:image/bmp;base64,Qk", 0) != 0) {
      Fail("unexpected picture answer: " + last.substr(0, 80));
    }
    if (i >= 20) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());  // after warming up
  }
  return ms;
}

void Report(const char* what, const std::vector<double>& ms) {
  const double median = Percentile(ms, 0.5);
  std::printf("%s: median %.2f ms, p99 %.2f ms (target median <= 10 ms: %s)\n", what, median, Percentile(ms, 0.99),
              median <= 10 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 500;
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "tw_cardterminal_bench";
  fs::remove_all(dir);
  fs::create_directories(dir / "Log");
  fs::current_path(dir);
  {
    sim::ScopedTerminal terminal(sim::Guise::kDisk);
    Tarnwick server;
    server.Init("0");
    RegisterRoutes(server);
    if (!server.Start()) Fail("the server did not start");
    test::PollingThread polling(server);
    test::RawClient client(server.BoundPort());
    if (Get(client, "/Jrs_Api/JrsCardCommOpen") != "{\"return\":0}\n") Fail("the terminal did not open");
    const std::string read = "/Jrs_Api/JrsCardCommRead?StructType=4&Index=0&Count=1";
    if (Get(client, read) != "{\"return\":0}\n") Fail("the fingerprint was not read");
    std::vector<double> small;
    for (int i = 0; i < iterations; ++i) {
      const auto t0 = Clock::now();
      Get(client, "/test");
      small.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("baseline GET /test: median %.3f ms\n", Percentile(small, 0.5));
    Report("GetFprImage", Measure(client, {"/Jrs_Api/JrsCardGetFprImage"}, iterations));
    Report("CommRead fingerprint + GetFprImage", Measure(client, {read, "/Jrs_Api/JrsCardGetFprImage"}, iterations));
    Get(client, "/Jrs_Api/JrsCardCommClose");
  }
  fs::current_path(fs::temp_directory_path());
  fs::remove_all(dir);
  return 0;
}
