// What counting costs a request, in the service's own process: the dispatch of
// "GET /Local/GetVersion" as a session serves it (counting included), and the counting steps
// alone (clock, note, counters; a device route adds the lookup of its answer's rule, measured
// apart). Thread CPU time, the best of
// several rounds, so other load on the machine inflates the figures less than wall time would.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "http/device_status.h"
#include "http/http.h"
#include "http/metrics.h"

namespace {

double ThreadNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

template <class Step>
double BestNsPerCall(int rounds, int calls, Step step) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const double start = ThreadNs();
    for (int i = 0; i < calls; ++i) step();
    best = std::min(best, (ThreadNs() - start) / calls);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  // The service's round trip this is set against: requests per second of /Local/GetVersion on
  // one connection (the figure in bench/README.md), as a time per request.
  const double rps = argc > 1 ? std::atof(argv[1]) : 106094.0;
  Tarnwick server;
  RegisterRoutes(server);
  ParsedRequest request;
  request.method = "GET";
  request.target = "/Local/GetVersion";
  request.headers[0] = {"Host", "127.0.0.1:12321"};
  request.headerCount = 1;
  const std::string route = "/Local/GetVersion";
  const std::string body = "{\"Version\":\"1.0.0.0\"}";
  mg_connection c;
  c.Pending().reserve(4096);

  const int rounds = 7, calls = 200000;
  const double dispatch = BestNsPerCall(rounds, calls, [&] {
    c.Pending().clear();
    ServeRequest(request, &c);
  });
  const double counting = BestNsPerCall(rounds, calls, [&] {
    metrics::RequestScope scope;
    metrics::NoteDispatch(Family::Local, metrics::Outcome::Ok);
    scope.Finish(true);
  });
  const std::string deviceRoute = "/VnSdt_api/GetSAMID";
  const std::string deviceBody = "{ \"szSAMID\": \"05.01.20261209.0000001-1234567890\",\"return\":144}";
  const double observe = BestNsPerCall(rounds, calls, [&] {
    if (!device_status::Observe(deviceRoute, deviceBody)) metrics::NoteDeviceError();
  });
  const double roundTrip = 1e9 / rps;
  std::printf("dispatch of /Local/GetVersion, counting included: %.0f ns\n", dispatch);
  std::printf("counting alone: %.0f ns (%.1f %% of the dispatch)\n", counting, 100.0 * counting / dispatch);
  std::printf("a device answer read for its result (device routes only): %.0f ns\n", observe);
  std::printf("against a %.0f ns round trip (%.0f requests/s): %.2f %%\n", roundTrip, rps,
              100.0 * counting / roundTrip);
  std::printf(
      "{\"dispatch_ns\":%.0f,\"counting_ns\":%.0f,\"device_answer_ns\":%.0f,\"share_of_round_trip_pct\":%.2f}\n",
      dispatch, counting, observe, 100.0 * counting / roundTrip);
  return 0;
}
