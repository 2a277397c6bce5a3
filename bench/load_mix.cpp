// Load and faults against a running Tarnwick with simulated devices and an origin allow-list:
// well-behaved clients make their requests over a fixed set of keep-alive connections (among
// them the blind GETs and HEADs another site's page makes, which must be refused) while slow
// clients trickle headers or bodies, others send chunk framing that never ends, and others
// vanish in the middle of an answer. Passes when every answer the well-behaved clients get is
// byte for byte the one a calm service gives, the service lives, its peak memory stays bounded
// and is back near idle afterwards. Prints the figures.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "service_process.h"

namespace {

using namespace bench;
namespace fs = std::filesystem;

struct Options {
  std::string binary = TW_BENCH_DEFAULT_BINARY;
  int connections = 100, requests = 10000, slowClients = 300, vanishingClients = 600, chunkedClients = 16;
  // Under a sanitizer the service's memory is the sanitizer's: no figure to hold it to.
  bool checkMemory = true;
  int timeLimitSeconds = 240;
};

// What the well-behaved clients ask, in turn; each connection starts at another place.
// How an answer ends: the service's envelope (one LF past Content-Length), a head alone
// (HEAD), or a plain HTTP answer (preflight).
enum class Shape { kEnvelope, kHead, kPlain };

struct Kind {
  const char* name;
  std::string request;
  Shape shape = Shape::kEnvelope;
};

// The one page the service allows in this run.
constexpr char kAllowedOrigin[] = "https://counter.example";

// What a refused request gets: the not-found answer without a CORS grant.
const std::string kRefused =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\nContent-Length: 16\n\n"
    "{\"return\":false}\n";

std::vector<Kind> Kinds(uint16_t port) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  // Another site's <img src> or navigation: the browser marks it, but sends no Origin.
  const std::string blind = host + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: no-cors\r\n";
  return {
      {"version", "GET /Local/GetVersion HTTP/1.1\r\n" + host + "\r\n"},
      {"card text", "GET /VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0 HTTP/1.1\r\n" + host + "\r\n"},
      {"photo", "GET /VnSdt_api/ReadBaseMsg?Port=1001&ReadType=3 HTTP/1.1\r\n" + host + "\r\n"},
      {"SAM id", "GET /VnSdt_api/GetSAMID?Port=1001 HTTP/1.1\r\n" + host + "\r\n"},
      {"card number by form",
       "POST /VnSdt_api/GetCardNo HTTP/1.1\r\n" + host +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 9\r\n\r\nPort=1001"},
      {"head", "HEAD /Local/GetVersion HTTP/1.1\r\n" + host + "\r\n", Shape::kHead},
      // Would switch the log to DEBUG if it got through; checked in the log afterwards.
      {"blind GET", "GET /Local/Debug?Open=1 HTTP/1.1\r\n" + blind + "\r\n"},
      {"blind GET of a device", "GET /VnSdt_api/ReadBaseMsg?Port=1001&ReadType=3 HTTP/1.1\r\n" + blind + "\r\n"},
      {"blind HEAD", "HEAD /Local/Debug?Open=1 HTTP/1.1\r\n" + blind + "\r\n", Shape::kHead},
      {"preflight",
       "OPTIONS /VnSdt_api/ReadBaseMsg HTTP/1.1\r\n" + host +
           "Origin: https://counter.example\r\nAccess-Control-Request-Method: GET\r\n\r\n",
       Shape::kPlain},
      {"unknown route", "GET /VnSdt_api/Nothing HTTP/1.1\r\n" + host + "\r\n"},
  };
}

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    close(fd);
    throw std::runtime_error(std::string("connect: ") + std::strerror(e));
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Closes with a reset instead of an orderly end: the client is simply gone.
void Vanish(int fd) {
  const linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

bool SendAll(int fd, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// A device family with too many requests waiting: ask again later, on the same connection.
bool Busy(const std::string& answer) { return answer.rfind("HTTP/1.1 503 ", 0) == 0; }

// One whole answer from a keep-alive connection; `buf` keeps what arrived beyond it.
std::string ReadAnswer(int fd, std::string& buf, Shape shape) {
  for (;;) {
    size_t size = 0;
    if (Busy(buf)) {
      size = AnswerSize(buf, false);
    } else if (shape == Shape::kHead) {
      const size_t end = buf.find("\n\n");
      size = end == std::string::npos ? 0 : end + 2;
    } else {
      size = AnswerSize(buf, shape == Shape::kEnvelope);
    }
    if (size != 0 && buf.size() >= size) {
      std::string answer = buf.substr(0, size);
      buf.erase(0, size);
      return answer;
    }
    char chunk[16384];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n == 0) throw std::runtime_error("connection ended by the service");
    if (n < 0) throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
    buf.append(chunk, static_cast<size_t>(n));
  }
}

std::string Ask(uint16_t port, const Kind& kind) {
  const int fd = Connect(port);
  std::string buf;
  std::string answer;
  try {
    if (!SendAll(fd, kind.request)) throw std::runtime_error("send failed");
    answer = ReadAnswer(fd, buf, kind.shape);
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  return answer;
}

class Faults {
 public:
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_.size() < 10) shown_.push_back(what);
    ++count_;
  }
  int Count() const { return count_; }
  void Show() const {
    for (const auto& s : shown_) std::fprintf(stderr, "  %s\n", s.c_str());
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> shown_;
  std::atomic<int> count_{0};
};

// The well-behaved clients: each connection makes its share of the requests in turn.
void Serve(uint16_t port, const std::vector<Kind>& kinds, const std::vector<std::string>& expected, int index,
           int requests, std::atomic<int>& served, std::atomic<int>& busy, Faults& faults) {
  int fd = -1;
  try {
    fd = Connect(port);
    std::string buf;
    for (int i = 0; i < requests; ++i) {
      const size_t k = static_cast<size_t>(index + i) % kinds.size();
      if (!SendAll(fd, kinds[k].request)) throw std::runtime_error("send failed");
      std::string answer = ReadAnswer(fd, buf, kinds[k].shape);
      while (Busy(answer)) {
        ++busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!SendAll(fd, kinds[k].request)) throw std::runtime_error("send failed");
        answer = ReadAnswer(fd, buf, kinds[k].shape);
      }
      if (answer != expected[k]) {
        faults.Add(std::string("wrong answer to ") + kinds[k].name + ": \"" + Escaped(answer.substr(0, 200)) + "\"");
      } else {
        ++served;
      }
    }
  } catch (const std::exception& e) {
    faults.Add("connection " + std::to_string(index) + ": " + e.what());
  }
  if (fd >= 0) close(fd);
}

// Clients gone in the middle: right after asking, after part of a large answer, or with
// several requests queued and none of the answers read.
void VanishRepeatedly(uint16_t port, const std::vector<Kind>& kinds, int count, std::atomic<int>& vanished,
                      Faults& faults) {
  const Kind& photo = kinds[2];
  for (int i = 0; i < count; ++i) {
    try {
      const int fd = Connect(port);
      switch (i % 3) {
        case 0:
          SendAll(fd, photo.request);
          break;
        case 1: {
          SendAll(fd, photo.request);
          char part[2048];
          recv(fd, part, sizeof part, 0);
          break;
        }
        default:
          SendAll(fd, photo.request + photo.request + photo.request);
          shutdown(fd, SHUT_WR);
          break;
      }
      Vanish(fd);
      ++vanished;
    } catch (const std::exception& e) {
      faults.Add(std::string("vanishing client: ") + e.what());
    }
  }
}

// Appends what the service has sent so far to `got`; false once the connection is over.
bool Drain(int fd, std::string& got) {
  for (;;) {
    char chunk[512];
    const ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      got.append(chunk, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// Slow clients: half trickle a header that never ends, half declare a large body, send a good
// part of it at once and trickle the rest. Nothing they get back may be anything but a refusal;
// when the service ends one (it makes way for others, or refuses a body past its budget), it
// comes back a little later, as a persistent attacker would.
class SlowClients {
 public:
  SlowClients(uint16_t port, int count) : port_(port), clients_(static_cast<size_t>(count)) {}

  void Run(const std::atomic<bool>& stop) {
    for (size_t i = 0; i < clients_.size(); ++i) Open(i);
    while (!stop) {
      const auto now = Clock::now();
      for (size_t i = 0; i < clients_.size(); ++i) {
        Client& c = clients_[i];
        if (c.fd < 0) {
          if (now >= c.reopenAt) Open(i);
          continue;
        }
        if (!Drain(c.fd, c.got)) {
          Close(c, now);
          continue;
        }
        const char byte = 'a';
        if (send(c.fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) Close(c, now);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& c : clients_) {
      if (c.fd >= 0) Vanish(c.fd);
      c.fd = -1;
    }
  }

  int Opened() const { return opened_; }
  int Refused() const { return refused_; }
  int Ended() const { return ended_; }
  const std::vector<std::string>& Strange() const { return strange_; }

 private:
  struct Client {
    int fd = -1;
    std::string got;
    Clock::time_point reopenAt;
  };

  void Open(size_t i) {
    Client& c = clients_[i];
    c.got.clear();
    try {
      c.fd = Connect(port_);
    } catch (const std::exception&) {
      c.reopenAt = Clock::now() + std::chrono::milliseconds(500);
      return;
    }
    ++opened_;
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    if (i % 2 == 0) {
      SendAll(c.fd, "GET /Local/GetVersion HTTP/1.1\r\n" + host + "X-Slow: ");
    } else {
      // 1 MiB now of a declared 8 MiB: together far past the service's budget for bodies.
      SendAll(c.fd, "POST /VnSdt_api/GetCardNo HTTP/1.1\r\n" + host + "Content-Length: 8388608\r\n\r\n");
      static const std::string part(1 << 20, 'a');
      struct timeval limit {
        2, 0
      };
      setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      SendAll(c.fd, part);
    }
  }

  // Reads what the service sent; false once the connection is over.
  void Close(Client& c, Clock::time_point now) {
    close(c.fd);
    c.fd = -1;
    c.reopenAt = now + std::chrono::seconds(1);
    static const std::string kBudget =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (c.got.empty()) {
      ++ended_;
    } else if (c.got == kBudget) {
      ++refused_;
    } else if (strange_.size() < 10) {
      strange_.push_back(Escaped(c.got.substr(0, 200)));
    }
  }

  uint16_t port_;
  std::vector<Client> clients_;
  int opened_ = 0, refused_ = 0, ended_ = 0;
  std::vector<std::string> strange_;
};

// Clients whose chunk framing never ends (a chunk-size line, an extension, a trailer) or
// dwarfs its body (one-byte chunks), sent as fast as the service takes it. Each must end with
// the refusal; then it comes back.
class ChunkedClients {
 public:
  ChunkedClients(uint16_t port, int count) : port_(port), clients_(static_cast<size_t>(count)) {}

  void Run(const std::atomic<bool>& stop) {
    std::string tiny;
    while (tiny.size() < kPiece) tiny += "1\r\na\r\n";
    const std::string pieces[] = {std::string(kPiece, '0'), std::string(kPiece, 'e'), std::string(kPiece, 't'), tiny};
    while (!stop) {
      for (size_t i = 0; i < clients_.size(); ++i) {
        Client& c = clients_[i];
        if (c.fd < 0) Open(i);
        if (c.fd < 0) continue;
        bool open = Drain(c.fd, c.got);
        if (open && send(c.fd, pieces[i % 4].data(), pieces[i % 4].size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN)
          open = false;
        if (!open) Close(c);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (auto& c : clients_) {
      if (c.fd >= 0) Vanish(c.fd);
      c.fd = -1;
    }
  }

  int Opened() const { return opened_; }
  int Refused() const { return refused_; }
  const std::vector<std::string>& Strange() const { return strange_; }

 private:
  static constexpr size_t kPiece = 16 * 1024;
  struct Client {
    int fd = -1;
    std::string got;
  };

  void Open(size_t i) {
    Client& c = clients_[i];
    c.got.clear();
    try {
      c.fd = Connect(port_);
    } catch (const std::exception&) {
      return;
    }
    ++opened_;
    static const char* const starts[] = {"1", "1;name=", "0\r\nX-Trailer: ", ""};
    SendAll(c.fd, "POST /VnSdt_api/GetCardNo HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                      "\r\nTransfer-Encoding: chunked\r\n\r\n" + starts[i % 4]);
  }

  void Close(Client& c) {
    Drain(c.fd, c.got);
    close(c.fd);
    c.fd = -1;
    static const std::string kBad = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    // One-byte chunks carry a body, which the slow clients' bodies may already have used up.
    static const std::string kBudget =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (c.got == kBad || c.got == kBudget) {
      ++refused_;
    } else if (!c.got.empty() && strange_.size() < 10) {
      // (Made way for another connection, the service may end one with nothing said.)
      strange_.push_back(Escaped(c.got.substr(0, 200)));
    }
  }

  uint16_t port_;
  std::vector<Client> clients_;
  int opened_ = 0, refused_ = 0;
  std::vector<std::string> strange_;
};

// DEBUG records of route handlers: only there when DEBUG logging was switched on.
int HandlerRecords(const fs::path& dir) {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir / "Log", ec); !ec && it != fs::end(it); it.increment(ec)) {
    if (it->path().extension() != ".txt") continue;
    std::ifstream in(it->path());
    for (std::string line; std::getline(in, line);)
      n += line.find(" DEBUG ") != std::string::npos && line.find("[handle_") != std::string::npos ? 1 : 0;
  }
  return n;
}

int OpenDescriptors(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::end(it);
       it.increment(ec))
    ++n;
  return n;
}

std::string Mib(long kib) { return Fixed(static_cast<double>(kib) / 1024.0, 1) + " MiB"; }

int Run(const Options& o) {
  setenv("TARNWICK_SIM", "1", 1);
  setenv("TARNWICK_ALLOWED_ORIGINS", kAllowedOrigin, 1);
  InstallAlarm();
  alarm(static_cast<unsigned>(o.timeLimitSeconds));
  Service s;
  int failures = 0;
  try {
    Spawn(s, o.binary);
    const Startup up = WaitListening(s, Clock::now(), PredictPort());
    StartDrain(s);
    const uint16_t port = up.port;
    const std::vector<Kind> kinds = Kinds(port);

    // What a calm service answers; asked twice so that every first-use allocation is behind us.
    std::vector<std::string> expected;
    for (const auto& k : kinds) expected.push_back(Ask(port, k));
    for (size_t i = 0; i < kinds.size(); ++i) {
      if (Ask(port, kinds[i]) != expected[i])
        throw std::runtime_error(std::string("unsteady answer: ") + kinds[i].name);
    }
    // Another site's blind requests get the refusal (its head alone for a HEAD).
    for (size_t i = 0; i < kinds.size(); ++i) {
      if (std::string(kinds[i].name).rfind("blind", 0) != 0) continue;
      const std::string want =
          kinds[i].shape == Shape::kHead ? kRefused.substr(0, kRefused.find("\n\n") + 2) : kRefused;
      if (expected[i] != want)
        throw std::runtime_error(std::string("not refused: ") + kinds[i].name + ": " + Escaped(expected[i]));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int idleFds = OpenDescriptors(s.pid);
    const long idleRss = RssKib(s.pid);

    std::atomic<bool> stop{false};
    std::atomic<int> served{0}, busy{0}, vanished{0};
    Faults faults;
    SlowClients slow(port, o.slowClients);
    std::thread slowThread([&] { slow.Run(stop); });
    ChunkedClients chunked(port, o.chunkedClients);
    std::thread chunkedThread([&] { chunked.Run(stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the slow ones are in first

    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    const int each = o.requests / o.connections;
    for (int i = 0; i < o.connections; ++i)
      threads.emplace_back(Serve, port, std::cref(kinds), std::cref(expected), i,
                           each + (i < o.requests % o.connections ? 1 : 0), std::ref(served), std::ref(busy),
                           std::ref(faults));
    std::thread vanishing[2];
    for (int i = 0; i < 2; ++i)
      vanishing[i] = std::thread(VanishRepeatedly, port, std::cref(kinds), o.vanishingClients / 2, std::ref(vanished),
                                 std::ref(faults));
    for (auto& t : threads) t.join();
    for (auto& t : vanishing) t.join();
    const double seconds = Ms(Clock::now() - t0) / 1000.0;
    stop = true;
    slowThread.join();
    chunkedThread.join();
    ExpectAlive(s, "under load");
    const long peakRss = PeakRssKib(s.pid);

    // Every connection of ours is gone; the service should let go of them and of their memory.
    const auto settle = Clock::now();
    while (OpenDescriptors(s.pid) > idleFds && Clock::now() - settle < std::chrono::seconds(10))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int afterFds = OpenDescriptors(s.pid);
    // The service gives memory back within a second of its last connection ending.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long afterRss = RssKib(s.pid);
    const std::string afterwards = Ask(port, kinds[0]);

    std::printf("load mix: %d requests over %d connections in %s s (%s per second)\n", o.requests, o.connections,
                Fixed(seconds, 2).c_str(), Fixed(o.requests / seconds, 0).c_str());
    std::printf("  answered right: %d, faults: %d; asked again after 503 (device family busy): %d\n", served.load(),
                faults.Count(), busy.load());
    std::printf(
        "  slow clients: %d at a time, %d connections opened; %d ended by the service, %d refused past the "
        "body budget\n",
        o.slowClients, slow.Opened(), slow.Ended(), slow.Refused());
    std::printf(
        "  chunk framing without end: %d at a time, %d connections opened, %d refused (400, or 503 past the body "
        "budget)\n",
        o.chunkedClients, chunked.Opened(), chunked.Refused());
    std::printf("  vanished in the middle: %d\n", vanished.load());
    std::printf("  service memory: idle %s, peak %s, afterwards %s; descriptors idle %d, afterwards %d\n",
                Mib(idleRss).c_str(), Mib(peakRss).c_str(), Mib(afterRss).c_str(), idleFds, afterFds);

    auto fail = [&](const std::string& why) {
      std::fprintf(stderr, "FAIL: %s\n", why.c_str());
      ++failures;
    };
    if (faults.Count() > 0 || served != o.requests) {
      fail(std::to_string(faults.Count()) + " faults, " + std::to_string(served.load()) + " of " +
           std::to_string(o.requests) + " answered right");
      faults.Show();
    }
    for (const auto& text : slow.Strange()) fail("a slow client got \"" + text + "\"");
    for (const auto& text : chunked.Strange()) fail("a chunked-framing client got \"" + text + "\"");
    if (o.chunkedClients > 0 && chunked.Refused() == 0) fail("no chunked-framing client was refused");
    if (const int records = HandlerRecords(s.dir))
      fail(std::to_string(records) + " handler records: a blind GET got through");
    // Connections, bodies within their budget, and every read buffer capped: bounded, whatever
    // the clients send.
    if (o.checkMemory && peakRss > idleRss + 160L * 1024)
      fail("peak memory " + Mib(peakRss) + " against " + Mib(idleRss) + " idle");
    if (afterwards != expected[0]) fail("wrong answer after the load: \"" + Escaped(afterwards) + "\"");
    if (afterFds > idleFds) fail("the service still holds " + std::to_string(afterFds - idleFds) + " connections");
    // Back near idle: within a quarter of the idle figure or 8 MiB, whichever is more.
    if (o.checkMemory && afterRss > idleRss + std::max(idleRss / 4, 8L * 1024))
      fail("memory not back near idle: " + Mib(afterRss) + " after, " + Mib(idleRss) + " idle");
    int code = 0;
    const std::string how = StopService(s, &code);
    if (code != 0) fail("service " + how);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "FAIL: %s%s\n", e.what(), g_timedOut ? " (time limit reached)" : "");
    ++failures;
  }
  alarm(0);
  Cleanup(s);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    try {
      if (a == "--binary") {
        o.binary = next();
      } else if (a == "--no-memory-check") {
        o.checkMemory = false;
      } else if (a == "--requests") {
        o.requests = std::stoi(next());
      } else if (a == "--slow") {
        o.slowClients = std::stoi(next());
      } else if (a == "--chunked") {
        o.chunkedClients = std::stoi(next());
      } else {
        std::fprintf(stderr,
                     "usage: load_mix [--binary PATH] [--requests N] [--slow N] [--chunked N] [--no-memory-check]\n");
        return 2;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 2;
    }
  }
  return Run(o);
}
