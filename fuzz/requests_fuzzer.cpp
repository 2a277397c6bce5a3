// Bytes arriving on one connection, through the server's own parser and limits, the dispatch
// and every route, with the simulated readers of both families behind them. Every answer is a
// whole HTTP answer whose body is exactly as long as its Content-Length says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/host.h"
#include "http/http.h"
#include "sim/reader.h"

namespace {

bool WellFormed(const ServedAnswer& a) {
  const std::string& s = a.bytes;
  if (s.compare(0, 9, "HTTP/1.1 ") != 0) return false;
  // The envelope's head lines end in a bare LF, the other answers' in CR LF.
  const size_t lf = s.find("\n\n");
  const size_t crlf = s.find("\r\n\r\n");
  const bool envelope = lf != std::string::npos && (crlf == std::string::npos || lf < crlf);
  const size_t headEnd = envelope ? lf + 2 : crlf == std::string::npos ? std::string::npos : crlf + 4;
  if (headEnd == std::string::npos) return false;
  const size_t cl = s.find("Content-Length: ");
  if (cl == std::string::npos || cl > headEnd) return false;
  const size_t length = std::strtoul(s.c_str() + cl + 16, nullptr, 10);
  const size_t body = s.size() - headEnd;
  if (a.head) return body == 0;
  // The envelope adds one LF after the body that Content-Length does not count.
  return envelope ? body == length + 1 && s.back() == '\n' : body == length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    // Photos and logs land in a folder of the fuzzer's own.
    const auto dir = std::filesystem::temp_directory_path() / "tw_fuzz_requests";
    std::filesystem::create_directories(dir / "Log" / "Photo");
    std::filesystem::current_path(dir);
    static sim::ScopedReaders readers(1);
    static Tarnwick server;
    RegisterRoutes(server);
    return true;
  }();
  (void)ready;
  for (const ServedAnswer& a : ServeBytes(std::string_view(reinterpret_cast<const char*>(data), size))) {
    if (!WellFormed(a)) std::abort();
  }
  return 0;
}
