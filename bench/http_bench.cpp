// Measures a running Tarnwick from the outside: start-up time, idle footprint, latency, throughput.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <csignal>
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

extern char** environ;

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

const uint16_t kCandidatePorts[] = {12321, 61234, 23456};
const std::string kAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\n"
    "Content-Length: 21\nAccess-Control-Allow-Origin: *\n\n{\"Version\":\"1.0.0.0\"}\n";
constexpr double kMaxAddedMedianUs = 500, kMaxAddedP99Us = 2000, kMaxWakeupsPerSecond = 1;

struct Options {
  std::string binary = TW_BENCH_DEFAULT_BINARY;
  int idleSeconds = 10, requests = 20000, seconds = 3;
};

struct Service {
  pid_t pid = -1;
  int out = -1;  // read end of the service's stdout
  fs::path dir;
  std::string stdoutText;
  std::thread drain;
};

struct Stats { double median = 0, p90 = 0, p99 = 0, max = 0; };

// The alarm handler may only do async-signal-safe work: killing the service unblocks our reads.
volatile std::sig_atomic_t g_victim = 0, g_timedOut = 0;
void OnAlarm(int) {
  g_timedOut = 1;
  if (g_victim > 0) kill(g_victim, SIGKILL);
}
void ArmWatchdog(unsigned seconds) { alarm(seconds); }

std::string Fixed(double v, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char tmp[8];
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20 || c >= 0x7f) { std::snprintf(tmp, sizeof tmp, "\\x%02x", c); out += tmp; }
    else out += static_cast<char>(c);
  }
  return out;
}

bool TryConnect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// The service takes the first candidate nobody listens on; a guess lets us probe before it prints.
uint16_t PredictPort() {
  for (uint16_t p : kCandidatePorts) if (!TryConnect(p)) return p;
  return 0;
}

void Spawn(Service& s, const std::string& binary) {
  char tmpl[] = "/tmp/tarnwick-bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  s.dir = tmpl;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const std::string dir = s.dir.string(), err = (s.dir / "stderr.txt").string();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string arg0 = binary, arg1 = "console";
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  const int rc = posix_spawn(&s.pid, binary.c_str(), &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  s.out = fds[0];
  if (rc != 0) {
    s.pid = -1;
    throw std::runtime_error("cannot start " + binary + ": " + std::strerror(rc));
  }
  g_victim = s.pid;
  fcntl(s.out, F_SETFL, O_NONBLOCK);
}

uint16_t ReadListeningPort(Service& s) {
  char buf[512];
  ssize_t n;
  while ((n = read(s.out, buf, sizeof buf)) > 0) s.stdoutText.append(buf, static_cast<size_t>(n));
  static const std::string marker = "listening on http://127.0.0.1:";
  const size_t at = s.stdoutText.find(marker);
  if (at == std::string::npos || s.stdoutText.find('\n', at) == std::string::npos) return 0;
  return static_cast<uint16_t>(std::strtoul(s.stdoutText.c_str() + at + marker.size(), nullptr, 10));
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exited with code " + std::to_string(WEXITSTATUS(status));
  return "ended by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
}

bool Reaped(Service& s, int* status) {
  if (waitpid(s.pid, status, WNOHANG) != s.pid) return false;
  s.pid = -1;
  g_victim = 0;
  return true;
}

struct Startup { uint16_t port = 0; double lineMs = 0, connectMs = 0; };

// Connect success is the figure; the printed line only confirms which port is ours.
Startup WaitListening(Service& s, Clock::time_point t0, uint16_t predicted) {
  Startup r;
  double predictedMs = -1;
  for (auto next = t0;; next += std::chrono::microseconds(200)) {
    std::this_thread::sleep_until(next);
    const auto now = Clock::now();
    if (r.port == 0 && (r.port = ReadListeningPort(s)) != 0) r.lineMs = Ms(now - t0);
    if (r.port != 0 && r.port == predicted && predictedMs >= 0) { r.connectMs = predictedMs; return r; }
    const uint16_t probe = r.port != 0 ? r.port : (predictedMs < 0 ? predicted : 0);
    if (probe != 0 && TryConnect(probe)) {
      if (r.port != 0) { r.connectMs = Ms(Clock::now() - t0); return r; }
      predictedMs = Ms(Clock::now() - t0);
    }
    int status = 0;
    if (Reaped(s, &status)) throw std::runtime_error("service " + Describe(status) + " during start-up");
    if (now - t0 > std::chrono::seconds(10)) throw std::runtime_error("service not listening after 10 s");
  }
}

// Keeps the pipe from filling up; returns at EOF, when the service is gone.
void StartDrain(Service& s) {
  fcntl(s.out, F_SETFL, 0);
  s.drain = std::thread([fd = s.out] {
    char buf[512];
    while (read(fd, buf, sizeof buf) > 0) {}
  });
}

long StatusField(const fs::path& file, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  return -1;
}

long RssKib(pid_t pid) { return StatusField("/proc/" + std::to_string(pid) + "/status", "VmRSS:"); }

long ContextSwitches(pid_t pid, int* threads) {
  long sum = 0;
  *threads = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const long v = StatusField(task.path() / "status", "voluntary_ctxt_switches:");
    const long nv = StatusField(task.path() / "status", "nonvoluntary_ctxt_switches:");
    if (v < 0 || nv < 0) continue;  // thread ended meanwhile
    sum += v + nv;
    ++*threads;
  }
  return sum;
}

// Size of the complete answer at the front of buf, or 0 while its head is incomplete.
size_t AnswerSize(const std::string& buf) {
  size_t head = buf.find("\n\n");
  head = head == std::string::npos ? buf.find("\r\n\r\n") : head;
  if (head == std::string::npos) return 0;
  std::string lower = buf.substr(0, head);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const size_t cl = lower.find("content-length:");
  if (cl == std::string::npos) throw std::runtime_error("answer without Content-Length: " + Escaped(buf));
  const size_t bodyStart = head + (buf[head] == '\n' ? 2 : 4);
  // The service ends every answer with one LF that Content-Length leaves out.
  return bodyStart + std::strtoul(lower.c_str() + cl + 15, nullptr, 10) + 1;
}

class Client {
 public:
  Client(asio::io_context& io, uint16_t port) : sock_(io) {
    sock_.connect({asio::ip::address_v4::loopback(), port});
    sock_.set_option(tcp::no_delay(true));
    request_ = "GET /Local/GetVersion HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    buf_.reserve(4096);
  }

  // One request, then reads until the whole answer is in; throws unless it is the expected answer.
  void RoundTrip() {
    asio::write(sock_, asio::buffer(request_));
    buf_.erase(0, used_);
    for (used_ = AnswerSize(buf_); used_ == 0 || buf_.size() < used_; used_ = AnswerSize(buf_)) {
      char chunk[4096];
      buf_.append(chunk, sock_.read_some(asio::buffer(chunk)));
    }
    if (buf_.compare(0, used_, kAnswer) != 0)
      throw std::runtime_error("wrong answer: \"" + Escaped(buf_.substr(0, used_)) + "\"");
  }

 private:
  tcp::socket sock_;
  std::string request_, buf_;
  size_t used_ = 0;
};

// Same bytes answered with no work at all: what the loopback and the client cost by themselves.
class Baseline {
 public:
  Baseline() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
    thread_ = std::thread([this] { ServeOne(); });
  }
  ~Baseline() { thread_.join(); }
  uint16_t Port() const { return acceptor_.local_endpoint().port(); }

 private:
  void ServeOne() {
    boost::system::error_code ec;
    tcp::socket s = acceptor_.accept(ec);
    if (ec) return;
    s.set_option(tcp::no_delay(true), ec);
    std::string in;
    char chunk[4096];
    for (;;) {
      const size_t n = s.read_some(asio::buffer(chunk), ec);
      if (ec) return;
      in.append(chunk, n);
      for (size_t end; (end = in.find("\r\n\r\n")) != std::string::npos;) {
        in.erase(0, end + 4);
        asio::write(s, asio::buffer(kAnswer), ec);
        if (ec) return;
      }
    }
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

double Percentile(const std::vector<double>& sorted, double p) {
  const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

Stats Summarize(std::vector<double>& us) {
  std::sort(us.begin(), us.end());
  return {Percentile(us, 0.5), Percentile(us, 0.9), Percentile(us, 0.99), us.back()};
}

// Alternates short blocks between the two servers so that drift in machine load hits both alike.
std::pair<Stats, Stats> MeasureLatency(uint16_t servicePort, uint16_t baselinePort, int requests) {
  asio::io_context io;
  Client clients[2] = {Client(io, servicePort), Client(io, baselinePort)};
  std::vector<double> us[2];
  for (int k = 0; k < 2; ++k) {
    for (int i = 0; i < std::min(requests, 1000); ++i) clients[k].RoundTrip();
    us[k].reserve(static_cast<size_t>(requests));
  }
  constexpr int kBlock = 500;
  for (int done = 0; done < requests; done += kBlock) {
    for (int k = 0; k < 2; ++k) {
      for (int i = done; i < std::min(requests, done + kBlock); ++i) {
        const auto t0 = Clock::now();
        clients[k].RoundTrip();
        us[k].push_back(Us(Clock::now() - t0));
      }
    }
  }
  return {Summarize(us[0]), Summarize(us[1])};
}

double MeasureRps(uint16_t port, int connections, int seconds) {
  std::mutex m;
  std::condition_variable cv;
  int ready = 0;
  bool go = false;
  Clock::time_point deadline;
  std::atomic<long> total{0};
  std::exception_ptr error;
  std::vector<std::thread> threads;
  for (int i = 0; i < connections; ++i) {
    threads.emplace_back([&] {
      try {
        asio::io_context io;
        Client c(io, port);
        std::unique_lock<std::mutex> lock(m);
        ++ready;
        cv.notify_all();
        cv.wait(lock, [&] { return go; });
        lock.unlock();
        long n = 0;
        for (; Clock::now() < deadline; ++n) c.RoundTrip();
        total += n;
      } catch (...) {
        std::lock_guard<std::mutex> lock(m);
        if (!error) error = std::current_exception();
        ready = connections;  // let the others start rather than wait for us
        cv.notify_all();
      }
    });
  }
  Clock::time_point start;
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return ready >= connections; });
    start = Clock::now();
    deadline = start + std::chrono::seconds(seconds);
    go = true;
  }
  cv.notify_all();
  for (auto& t : threads) t.join();
  if (error) std::rethrow_exception(error);
  return static_cast<double>(total) / std::chrono::duration<double>(Clock::now() - start).count();
}

std::string StopService(Service& s, int* exitCode) {
  kill(s.pid, SIGTERM);
  const auto t0 = Clock::now();
  int status = 0;
  std::string how;
  while (!Reaped(s, &status)) {
    if (Clock::now() - t0 > std::chrono::seconds(10)) {
      kill(s.pid, SIGKILL);
      waitpid(s.pid, &status, 0);
      s.pid = -1;
      how = "did not stop within 10 s, killed; ";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return how + Describe(status) + " after " + Fixed(Ms(Clock::now() - t0), 1) + " ms";
}

const char* Mark(bool met) { return met ? "[met]" : "[MISSED]"; }

void Line(const char* label, double value, const char* unit, const std::string& note = "") {
  const std::string text = Fixed(value, value < 10 ? 2 : 1);
  std::printf("%-32s %10s %-4s%s%s\n", label, text.c_str(), unit, note.empty() ? "" : " ", note.c_str());
  std::fflush(stdout);
}

void PrintStats(const char* who, const Stats& st) {
  const std::pair<const char*, double> rows[] = {{"median", st.median}, {"p90", st.p90}, {"p99", st.p99}, {"max", st.max}};
  for (const auto& [name, v] : rows) Line((std::string(who) + " latency " + name).c_str(), v, "us");
}

std::string StatsJson(const Stats& st) {
  char text[160];
  std::snprintf(text, sizeof text, "{\"median\":%.1f,\"p90\":%.1f,\"p99\":%.1f,\"max\":%.1f}", st.median, st.p90, st.p99, st.max);
  return text;
}

void Run(const Options& o, Service& s) {
  const uint16_t predicted = PredictPort();
  const auto t0 = Clock::now();
  Spawn(s, o.binary);
  const Startup up = WaitListening(s, t0, predicted);
  StartDrain(s);
  std::printf("Tarnwick %s, pid %d, port %u, working directory %s\n", o.binary.c_str(), s.pid, up.port, s.dir.c_str());
  Line("start to listening", up.connectMs, "ms", "(listening line read after " + Fixed(up.lineMs, 2) + " ms)");

  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long idleRss = RssKib(s.pid);
  Line("idle resident memory", static_cast<double>(idleRss), "KiB", "(VmRSS after 2 s idle)");

  int threads = 0;
  const long c0 = ContextSwitches(s.pid, &threads);
  const auto w0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
  const long c1 = ContextSwitches(s.pid, &threads);
  const double wakeups = static_cast<double>(c1 - c0) / std::chrono::duration<double>(Clock::now() - w0).count();
  const bool wakeOk = wakeups <= kMaxWakeupsPerSecond;
  Line("idle wake-ups", wakeups, "/s", "target <= 1/s " + std::string(Mark(wakeOk)) + "  (" + std::to_string(threads) +
                                           " thread(s), " + std::to_string(o.idleSeconds) + " s window)");

  ArmWatchdog(60 + static_cast<unsigned>(o.requests / 500));
  Baseline baseline;
  const auto [svc, base] = MeasureLatency(up.port, baseline.Port(), o.requests);
  std::printf("latency of %d sequential GET /Local/GetVersion, one keep-alive connection each:\n", o.requests);
  PrintStats("service", svc);
  PrintStats("baseline", base);
  const double addedMedian = svc.median - base.median, addedP99 = svc.p99 - base.p99;
  const bool medianOk = addedMedian <= kMaxAddedMedianUs, p99Ok = addedP99 <= kMaxAddedP99Us;
  Line("added latency median", addedMedian, "us", std::string("target <= 500 us ") + Mark(medianOk));
  Line("added latency p99", addedP99, "us", std::string("target <= 2000 us ") + Mark(p99Ok));

  ArmWatchdog(60 + 4 * static_cast<unsigned>(o.seconds));
  const double rps1 = MeasureRps(up.port, 1, o.seconds);
  Line("requests per second, 1 conn", rps1, "/s", "(" + std::to_string(o.seconds) + " s)");
  const double rps16 = MeasureRps(up.port, 16, o.seconds);
  Line("requests per second, 16 conns", rps16, "/s", "(" + std::to_string(o.seconds) + " s)");
  ArmWatchdog(0);
  const long loadRss = RssKib(s.pid);
  Line("resident memory after load", static_cast<double>(loadRss), "KiB");

  int exitCode = -1;
  const std::string stopped = StopService(s, &exitCode);
  std::printf("%-32s %s %s\n", "stop on SIGTERM", stopped.c_str(), exitCode == 0 ? "[clean]" : "[NOT CLEAN]");
  const bool allMet = wakeOk && medianOk && p99Ok;
  std::printf("targets: %s\n", allMet ? "all met" : "some MISSED");
  std::printf("{\"port\":%u,\"start_ms\":%.3f,\"listening_line_ms\":%.3f,\"idle_rss_kib\":%ld,\"idle_wakeups_per_s\":%.3f,"
              "\"idle_seconds\":%d,\"requests\":%d,\"service_us\":%s,\"baseline_us\":%s,\"added_median_us\":%.1f,"
              "\"added_p99_us\":%.1f,\"rps_1\":%.0f,\"rps_16\":%.0f,\"rps_seconds\":%d,\"load_rss_kib\":%ld,"
              "\"exit_code\":%d,\"targets_met\":%s}\n",
              up.port, up.connectMs, up.lineMs, idleRss, wakeups, o.idleSeconds, o.requests, StatsJson(svc).c_str(),
              StatsJson(base).c_str(), addedMedian, addedP99, rps1, rps16, o.seconds, loadRss, exitCode,
              allMet ? "true" : "false");
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    int* target = a == "--idle-seconds" ? &o.idleSeconds : a == "--requests" ? &o.requests : a == "--seconds" ? &o.seconds : nullptr;
    if (target != nullptr) {
      if (i + 1 >= argc || (*target = std::atoi(argv[++i])) <= 0) return false;
    } else if (a.rfind("-", 0) == 0) {
      return false;
    } else {
      o.binary = a;
    }
  }
  o.binary = fs::absolute(o.binary).string();  // the service starts in another directory
  return true;
}

void Cleanup(Service& s) {
  if (s.pid > 0) {
    int code = 0;
    std::fprintf(stderr, "service %s\n", StopService(s, &code).c_str());
  }
  if (s.drain.joinable()) s.drain.join();
  if (s.out >= 0) close(s.out);
  std::ifstream err(s.dir / "stderr.txt");
  const std::string text((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
  if (!text.empty()) std::fprintf(stderr, "service stderr:\n%s\n", text.c_str());
  std::error_code ec;
  if (!s.dir.empty()) fs::remove_all(s.dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fprintf(stderr, "usage: %s [TARNWICK_BINARY] [--idle-seconds N] [--requests N] [--seconds N]\n", argv[0]);
    return 2;
  }
  std::signal(SIGALRM, OnAlarm);
  Service s;
  int rc = 0;
  try {
    Run(o, s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "http_bench: %s%s\n", g_timedOut ? "timed out; " : "", e.what());
    rc = 1;
  }
  ArmWatchdog(0);
  Cleanup(s);
  return rc;
}
