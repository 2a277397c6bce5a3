// Measures a running Tarnwick from the outside: start-up time, idle footprint, latency, throughput.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "service_process.h"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using namespace bench;

const std::string kAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\n"
    "Content-Length: 21\nAccess-Control-Allow-Origin: *\n\n{\"Version\":\"1.0.0.0\"}\n";
// nginx answers the same body; its head is its own.
const std::string kBody = "{\"Version\":\"1.0.0.0\"}\n";
constexpr double kMaxAddedMedianUs = 500, kMaxAddedP99Us = 2000, kMaxWakeupsPerSecond = 0.1, kMinNginxRatio = 0.85;

struct Options {
  std::string binary = TW_BENCH_DEFAULT_BINARY;
  int idleSeconds = 10, requests = 20000, seconds = 3, cardReads = 200, signs = 200;
  bool pin = true;
};

struct Stats {
  double median = 0, p90 = 0, p99 = 0, max = 0;
};

class Client {
 public:
  // `nginx`: another server's head, the same body, no trailing LF of the envelope.
  Client(asio::io_context& io, uint16_t port, bool nginx = false) : sock_(io), nginx_(nginx) {
    sock_.connect({asio::ip::address_v4::loopback(), port});
    sock_.set_option(tcp::no_delay(true));
    request_ = "GET /Local/GetVersion HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    buf_.reserve(4096);
  }

  // One request, then reads until the whole answer is in; throws unless it is the expected answer.
  void RoundTrip() {
    asio::write(sock_, asio::buffer(request_));
    buf_.erase(0, used_);
    for (used_ = AnswerSize(buf_, !nginx_); used_ == 0 || buf_.size() < used_; used_ = AnswerSize(buf_, !nginx_)) {
      char chunk[4096];
      buf_.append(chunk, sock_.read_some(asio::buffer(chunk)));
    }
    const bool right = nginx_ ? buf_.compare(0, 15, "HTTP/1.1 200 OK") == 0 &&
                                    buf_.compare(used_ - kBody.size(), kBody.size(), kBody) == 0
                              : buf_.compare(0, used_, kAnswer) == 0;
    if (!right) throw std::runtime_error("wrong answer: \"" + Escaped(buf_.substr(0, used_)) + "\"");
  }

 private:
  tcp::socket sock_;
  bool nginx_;
  std::string request_, buf_;
  size_t used_ = 0;
};

// nginx with one worker on a free port of its own, answering the service's body from memory.
class Nginx {
 public:
  Nginx() {
    char tmpl[] = "/tmp/tarnwick-nginx.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    {
      asio::io_context io;
      tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
      port_ = probe.local_endpoint().port();
    }
    std::ofstream conf(dir_ / "nginx.conf");
    conf << "worker_processes 1;\ndaemon off;\npid " << (dir_ / "nginx.pid").string() << ";\nerror_log "
         << (dir_ / "error.log").string() << ";\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n"
         << "  keepalive_requests 100000000;\n  client_body_temp_path " << dir_.string() << ";\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    location / {\n"
         << "      default_type text/plain;\n      return 200 '" << kBody.substr(0, kBody.size() - 1) << "\\n';\n"
         << "    }\n  }\n}\n";
    conf.close();
    const std::string binary = "/usr/sbin/nginx", confPath = (dir_ / "nginx.conf").string(), prefix = dir_.string();
    std::string a0 = binary, a1 = "-p", a2 = prefix, a3 = "-c", a4 = confPath;
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&pid_, binary.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
      throw std::runtime_error("cannot start nginx (scripts/setup.sh installs it): " + std::string(strerror(rc)));
    for (int i = 0; i < 500 && !TryConnect(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!TryConnect(port_)) throw std::runtime_error("nginx not listening; see " + (dir_ / "error.log").string());
  }
  ~Nginx() {
    kill(pid_, SIGQUIT);
    int status = 0;
    waitpid(pid_, &status, 0);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }

 private:
  fs::path dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// Same bytes answered with no work at all: what the loopback and the client cost by themselves.
class Baseline {
 public:
  Baseline() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
    thread_ = std::thread([this] { ServeOne(); });
  }
  ~Baseline() {
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);  // wakes an accept no client came for
    thread_.join();
  }
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

double MeasureRps(uint16_t port, int connections, int seconds, bool nginx = false) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<long> total{0};
  Clock::time_point deadline;  // published to the clients by the release store of go
  std::vector<std::exception_ptr> errors(static_cast<size_t>(connections));
  std::vector<std::thread> threads;
  for (int i = 0; i < connections; ++i) {
    threads.emplace_back([&, i] {
      try {
        asio::io_context io;
        Client c(io, port, nginx);
        ++ready;
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        long n = 0;
        for (; Clock::now() < deadline; ++n) c.RoundTrip();
        total += n;
      } catch (...) {
        errors[static_cast<size_t>(i)] = std::current_exception();
        if (!go) ++ready;
      }
    });
  }
  while (ready < connections) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto start = Clock::now();
  deadline = start + std::chrono::seconds(seconds);
  go.store(true, std::memory_order_release);
  for (auto& t : threads) t.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
  return static_cast<double>(total) / std::chrono::duration<double>(Clock::now() - start).count();
}

struct Report {
  Startup up;
  long idleRss = 0, loadRss = 0;
  double wakeups = 0;
  double rps[3] = {}, nginxRps[3] = {};  // 1, 16, 100 connections
  Stats svc, base;
  int exitCode = -1, cpu = -1;
  bool wakeOk = false, medianOk = false, p99Ok = false, ratioOk = false;
  double cardMedianMs = 0;
  bool cardOk = false;
  double signMedianMs = 0;
  bool signOk = false;
};

constexpr int kConnections[3] = {1, 16, 100};

std::string Mark(bool met) { return met ? "[met]" : "[MISSED]"; }

void Line(const std::string& label, double value, const char* unit, const std::string& note = "") {
  const std::string text = Fixed(value, std::fabs(value) < 10 ? 2 : 1);
  std::printf("%-32s %10s %s%*s%s\n", label.c_str(), text.c_str(), unit,
              note.empty() ? 0 : 5 - static_cast<int>(std::strlen(unit)), "", note.c_str());
  std::fflush(stdout);
}

// A figure read from a dead service's /proc entry would be silently wrong.
void IdleFor(Service& s, int seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  ExpectAlive(s, "while idle");
}

void MeasureIdle(const Options& o, Service& s, Report& r) {
  IdleFor(s, 2);
  r.idleRss = RssKib(s.pid);
  Line("idle resident memory", static_cast<double>(r.idleRss), "KiB", "(VmRSS after 2 s idle)");
  int threads = 0;
  const long c0 = ContextSwitches(s.pid, &threads);
  const auto t0 = Clock::now();
  IdleFor(s, o.idleSeconds);
  const long c1 = ContextSwitches(s.pid, &threads);
  r.wakeups = static_cast<double>(c1 - c0) / std::chrono::duration<double>(Clock::now() - t0).count();
  r.wakeOk = r.wakeups <= kMaxWakeupsPerSecond;
  Line("idle wake-ups", r.wakeups, "/s",
       "target <= 0.1/s " + Mark(r.wakeOk) + "  (" + std::to_string(threads) + " thread(s), " +
           std::to_string(o.idleSeconds) + " s window)");
}

// Where the scheduler puts client and server swings a round trip by tens of microseconds (cross-CPU
// wake-ups are dear, in VMs most of all), so the sequential runs share one CPU for a fair comparison.
int LastCpu(const cpu_set_t& set) {
  for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu)
    if (CPU_ISSET(cpu, &set)) return cpu;
  return -1;
}

// Our thread and every service thread; threads we start later inherit it.
void SetAffinity(pid_t service, const cpu_set_t& set) {
  sched_setaffinity(0, sizeof set, &set);
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(service) + "/task", ec))
    sched_setaffinity(std::atoi(task.path().filename().c_str()), sizeof set, &set);
}

void ReportLatency(const Options& o, uint16_t port, Report& r) {
  alarm(60 + static_cast<unsigned>(o.requests / 500));
  Baseline baseline;
  std::tie(r.svc, r.base) = MeasureLatency(port, baseline.Port(), o.requests);
  std::printf("latency of %d sequential GET /Local/GetVersion, one keep-alive connection each, %s:\n", o.requests,
              r.cpu < 0 ? "placed by the scheduler" : ("all on CPU " + std::to_string(r.cpu)).c_str());
  for (const auto& [who, st] : {std::pair<std::string, Stats>{"service", r.svc}, {"baseline", r.base}}) {
    for (const auto& [name, v] :
         {std::pair<const char*, double>{"median", st.median}, {"p90", st.p90}, {"p99", st.p99}, {"max", st.max}})
      Line(who + " latency " + name, v, "us");
  }
  r.medianOk = r.svc.median - r.base.median <= kMaxAddedMedianUs;
  r.p99Ok = r.svc.p99 - r.base.p99 <= kMaxAddedP99Us;
  Line("added latency median", r.svc.median - r.base.median, "us", "target <= 500 us " + Mark(r.medianOk));
  Line("added latency p99", r.svc.p99 - r.base.p99, "us", "target <= 2000 us " + Mark(r.p99Ok));
}

// Both servers at 1, 16 and 100 connections, in the same run: the one-connection runs share
// one CPU with their client, the others use every CPU.
void MeasureLoad(const Options& o, uint16_t port, pid_t pid, Report& r) {
  cpu_set_t all, one;
  sched_getaffinity(0, sizeof all, &all);
  CPU_ZERO(&one);
  if (o.pin) {
    r.cpu = LastCpu(all);
    CPU_SET(r.cpu, &one);
    SetAffinity(pid, one);
  }
  ReportLatency(o, port, r);
  Nginx nginx;
  if (o.pin) SetAffinity(nginx.Pid(), one);
  const std::string secs = "(" + std::to_string(o.seconds) + " s";
  double worst = 1e9;
  for (int k = 0; k < 3; ++k) {
    if (k == 1 && o.pin) {
      SetAffinity(pid, all);
      SetAffinity(nginx.Pid(), all);
      sched_setaffinity(0, sizeof all, &all);
    }
    alarm(60 + 4 * static_cast<unsigned>(o.seconds));
    r.rps[k] = MeasureRps(port, kConnections[k], o.seconds);
    r.nginxRps[k] = MeasureRps(nginx.Port(), kConnections[k], o.seconds, true);
    alarm(0);
    const double ratio = r.rps[k] / r.nginxRps[k];
    worst = std::min(worst, ratio);
    const std::string conns = std::to_string(kConnections[k]) + " conn" + (k == 0 ? "" : "s");
    const std::string where = k == 0 && r.cpu >= 0 ? ", CPU " + std::to_string(r.cpu) + ")" : ", any CPU)";
    Line("requests per second, " + conns, r.rps[k], "/s", secs + where);
    Line("nginx, " + conns, r.nginxRps[k], "/s", "(one worker, same body)");
    Line("ratio to nginx, " + conns, ratio, "", "target >= 0.85 " + Mark(ratio >= kMinNginxRatio));
  }
  r.ratioOk = worst >= kMinNginxRatio;
  r.loadRss = RssKib(pid);
  Line("resident memory after load", static_cast<double>(r.loadRss), "KiB");
}

// One request on a keep-alive socket; the whole answer.
std::string Exchange(tcp::socket& sock, std::string& buf, const std::string& request) {
  asio::write(sock, asio::buffer(request));
  size_t used;
  while ((used = AnswerSize(buf)) == 0 || buf.size() < used) {
    char chunk[65536];
    buf.append(chunk, sock.read_some(asio::buffer(chunk)));
  }
  std::string answer = buf.substr(0, used);
  buf.erase(0, used);
  return answer;
}

std::string GetOnce(tcp::socket& sock, std::string& buf, const std::string& target) {
  return Exchange(sock, buf, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

// A full card read with photo and fingerprint from the simulated reader, then how quickly the
// service answers something else right after it.
void MeasureCardRead(uint16_t port, int reads, Report& r) {
  asio::io_context io;
  tcp::socket sock(io);
  sock.connect({asio::ip::address_v4::loopback(), port});
  sock.set_option(tcp::no_delay(true));
  std::string buf;
  std::vector<double> card, after;
  alarm(120);
  for (int i = 0; i < reads; ++i) {
    const auto t0 = Clock::now();
    const std::string answer = GetOnce(sock, buf, "/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=3");
    card.push_back(Us(Clock::now() - t0));
    if (answer.find("\"return\":\"144\",\"fp\":\"") == std::string::npos)
      throw std::runtime_error("card read failed: " + Escaped(answer.substr(0, 300)));
    const auto t1 = Clock::now();
    GetOnce(sock, buf, "/test");
    after.push_back(Us(Clock::now() - t1));
  }
  alarm(0);
  const Stats c = Summarize(card), a = Summarize(after);
  r.cardMedianMs = c.median / 1000;
  r.cardOk = r.cardMedianMs <= 10;
  Line("card read ReadType=3 median", r.cardMedianMs, "ms", "target <= 10 ms " + Mark(r.cardOk));
  Line("card read ReadType=3 p99", c.p99 / 1000, "ms");
  Line("next request after a read median", a.median, "us", "(max " + Fixed(a.max, 1) + " us)");
}

// "/VnUsbKey_Api/DOSIGN" of 1 KiB of content, posted as a page posts it: the key found, the
// PIN checked, the content signed with the simulated key's RSA-2048 key, the answer sent.
void MeasureSign(uint16_t port, int signs, Report& r) {
  asio::io_context io;
  tcp::socket sock(io);
  sock.connect({asio::ip::address_v4::loopback(), port});
  sock.set_option(tcp::no_delay(true));
  std::string content;
  for (int i = 0; content.size() < 1024; ++i) content += "Clause " + std::to_string(i) + ": agreed. ";
  content.resize(1024);
  for (char& c : content) c = c == ' ' ? '+' : c;  // form encoding of the blanks
  const std::string body = "Content=" + content + "&len=1024&PassWord=12345678";
  const std::string request =
      "POST /VnUsbKey_Api/DOSIGN HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  std::string buf;
  std::vector<double> us;
  alarm(120);
  // The first call makes the key (a new key pair) and is not what a signature costs.
  for (int i = -5; i < signs; ++i) {
    const auto t0 = Clock::now();
    const std::string answer = Exchange(sock, buf, request);
    if (i >= 0) us.push_back(Us(Clock::now() - t0));
    if (answer.find("{\"result\":\"") == std::string::npos || answer.find("==\"}") == std::string::npos)
      throw std::runtime_error("signing failed: " + Escaped(answer.substr(0, 300)));
  }
  alarm(0);
  const Stats st = Summarize(us);
  r.signMedianMs = st.median / 1000;
  r.signOk = r.signMedianMs <= 20;
  Line("DOSIGN 1 KiB median", r.signMedianMs, "ms", "target <= 20 ms " + Mark(r.signOk));
  Line("DOSIGN 1 KiB p99", st.p99 / 1000, "ms");
}

std::string StatsJson(const Stats& st) {
  return "{\"median\":" + Fixed(st.median, 1) + ",\"p90\":" + Fixed(st.p90, 1) + ",\"p99\":" + Fixed(st.p99, 1) +
         ",\"max\":" + Fixed(st.max, 1) + "}";
}

void PrintJson(const Options& o, const Report& r) {
  std::printf(
      "{\"port\":%u,\"start_ms\":%.3f,\"listening_line_ms\":%.3f,\"idle_rss_kib\":%ld,"
      "\"idle_wakeups_per_s\":%.3f,\"idle_seconds\":%d,\"requests\":%d,\"service_us\":%s,\"baseline_us\":%s,"
      "\"added_median_us\":%.1f,\"added_p99_us\":%.1f,\"rps_1\":%.0f,\"rps_16\":%.0f,\"rps_100\":%.0f,"
      "\"nginx_rps_1\":%.0f,\"nginx_rps_16\":%.0f,\"nginx_rps_100\":%.0f,\"rps_seconds\":%d,"
      "\"pinned_cpu\":%d,\"load_rss_kib\":%ld,\"exit_code\":%d,\"targets_met\":%s}\n",
      r.up.port, r.up.connectMs, r.up.lineMs, r.idleRss, r.wakeups, o.idleSeconds, o.requests, StatsJson(r.svc).c_str(),
      StatsJson(r.base).c_str(), r.svc.median - r.base.median, r.svc.p99 - r.base.p99, r.rps[0], r.rps[1], r.rps[2],
      r.nginxRps[0], r.nginxRps[1], r.nginxRps[2], o.seconds, r.cpu, r.loadRss, r.exitCode,
      r.wakeOk && r.medianOk && r.p99Ok && r.ratioOk ? "true" : "false");
}

void Run(const Options& o, Service& s) {
  Report r;
  const uint16_t predicted = PredictPort();
  const auto t0 = Clock::now();
  Spawn(s, o.binary);
  r.up = WaitListening(s, t0, predicted);
  StartDrain(s);
  std::printf("Tarnwick %s, pid %d, port %u, working directory %s\n", o.binary.c_str(), s.pid, r.up.port,
              s.dir.c_str());
  Line("start to listening", r.up.connectMs, "ms", "(listening line read after " + Fixed(r.up.lineMs, 2) + " ms)");
  MeasureIdle(o, s, r);
  MeasureLoad(o, r.up.port, s.pid, r);
  MeasureCardRead(r.up.port, o.cardReads, r);
  MeasureSign(r.up.port, o.signs, r);
  const std::string stopped = StopService(s, &r.exitCode);
  std::printf("%-32s %s %s\n", "stop on SIGTERM", stopped.c_str(), r.exitCode == 0 ? "[clean]" : "[NOT CLEAN]");
  std::printf("targets: %s\n",
              r.wakeOk && r.medianOk && r.p99Ok && r.cardOk && r.ratioOk && r.signOk ? "all met" : "some MISSED");
  PrintJson(o, r);
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    int* target = a == "--idle-seconds" ? &o.idleSeconds
                  : a == "--requests"   ? &o.requests
                  : a == "--seconds"    ? &o.seconds
                  : a == "--card-reads" ? &o.cardReads
                  : a == "--signs"      ? &o.signs
                                        : nullptr;
    if (target != nullptr) {
      if (i + 1 >= argc || (*target = std::atoi(argv[++i])) <= 0) return false;
    } else if (a == "--no-pin") {
      o.pin = false;
    } else if (a.rfind("-", 0) == 0) {
      return false;
    } else {
      o.binary = a;
    }
  }
  o.binary = fs::absolute(o.binary).string();  // the service starts in another directory
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // The service reads the card from its simulated reader.
  setenv("TARNWICK_SIM", "1", 1);
  // Its simulated USB key lives in the service's working directory, which goes afterwards.
  setenv("TARNWICK_USBKEY_DIR", "UsbKey", 1);
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fprintf(
        stderr,
        "usage: %s [TARNWICK_BINARY] [--idle-seconds N] [--requests N] [--seconds N] [--card-reads N] [--signs N] "
        "[--no-pin]\n",
        argv[0]);
    return 2;
  }
  InstallAlarm();
  Service s;
  int rc = 0;
  try {
    Run(o, s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "http_bench: %s%s\n", g_timedOut ? "timed out; " : "", e.what());
    rc = 1;
  }
  alarm(0);
  Cleanup(s);
  return rc;
}
