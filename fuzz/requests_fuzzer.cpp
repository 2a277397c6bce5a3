// Bytes arriving on one connection, through the server's own parser and limits, the dispatch
// and every route, with the simulated readers of both families behind them; pipelined
// requests, chunked framing and the access policy's headers included. Every answer is a whole
// HTTP answer whose body is exactly as long as its Content-Length says, none after the one that
// ends the connection, and a HEAD answer is a head alone.
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
    // An allow-list whose host is the seeds' "Host: x": programs get through, blind browser
    // requests do not.
    SetAccessPolicy({{"http://x"}});
    return true;
  }();
  (void)ready;
  const auto answers = ServeBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  for (size_t i = 0; i < answers.size(); ++i) {
    if (!WellFormed(answers[i])) std::abort();
    // A refusal ends the connection: nothing is answered after it.
    if (answers[i].bytes.find("Connection: close\r\n") != std::string::npos && i + 1 != answers.size()) std::abort();
  }
  return 0;
}
