#include "service_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace bench {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;

const uint16_t kCandidatePorts[3] = {12321, 61234, 23456};

namespace {

// The alarm handler may only do async-signal-safe work: killing the service unblocks our reads.
volatile std::sig_atomic_t g_victim = 0;

void OnAlarm(int) {
  g_timedOut = 1;
  if (g_victim > 0) kill(g_victim, SIGKILL);
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

uint16_t ReadListeningPort(Service& s) {
  char buf[512];
  ssize_t n;
  while ((n = read(s.out, buf, sizeof buf)) > 0) s.stdoutText.append(buf, static_cast<size_t>(n));
  static const std::string marker = "listening on http://127.0.0.1:";
  const size_t at = s.stdoutText.find(marker);
  if (at == std::string::npos || s.stdoutText.find('\n', at) == std::string::npos) return 0;
  return static_cast<uint16_t>(std::strtoul(s.stdoutText.c_str() + at + marker.size(), nullptr, 10));
}

long StatusField(const fs::path& file, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  return -1;
}

}  // namespace

volatile std::sig_atomic_t g_timedOut = 0;

void InstallAlarm() { signal(SIGALRM, OnAlarm); }

std::string Fixed(double v, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (char c : bytes) out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

bool TryConnect(uint16_t port) {
  static asio::io_context io;
  tcp::socket s(io);
  boost::system::error_code ec;
  s.connect({asio::ip::address_v4::loopback(), port}, ec);
  return !ec;
}

uint16_t PredictPort() {
  for (uint16_t p : kCandidatePorts)
    if (!TryConnect(p)) return p;
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

// Connect success is the figure; the printed line only confirms which port is ours.
Startup WaitListening(Service& s, Clock::time_point t0, uint16_t predicted) {
  Startup r;
  double predictedMs = -1;
  for (auto next = t0;; next += std::chrono::microseconds(200)) {
    std::this_thread::sleep_until(next);
    const auto now = Clock::now();
    if (r.port == 0 && (r.port = ReadListeningPort(s)) != 0) r.lineMs = Ms(now - t0);
    if (r.port == 0 && predictedMs < 0 && predicted != 0 && TryConnect(predicted)) predictedMs = Ms(Clock::now() - t0);
    if (r.port != 0 && r.port == predicted && predictedMs >= 0)
      r.connectMs = predictedMs;
    else if (r.port != 0 && TryConnect(r.port))
      r.connectMs = Ms(Clock::now() - t0);
    if (r.connectMs > 0) return r;
    int status = 0;
    if (Reaped(s, &status)) throw std::runtime_error("service " + Describe(status) + " during start-up");
    if (now - t0 > std::chrono::seconds(10)) throw std::runtime_error("service not listening after 10 s");
  }
}

void StartDrain(Service& s) {
  fcntl(s.out, F_SETFL, 0);
  s.drain = std::thread([fd = s.out] {
    char buf[512];
    while (read(fd, buf, sizeof buf) > 0) continue;
  });
}

std::string StopService(Service& s, int* exitCode) {
  kill(s.pid, SIGTERM);
  const auto t0 = Clock::now();
  int status = 0;
  bool killed = false;
  while (!Reaped(s, &status)) {
    if (!killed && Clock::now() - t0 > std::chrono::seconds(10)) killed = kill(s.pid, SIGKILL) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return std::string(killed ? "ignored SIGTERM for 10 s, killed: " : "") + Describe(status) + " after " +
         Fixed(Ms(Clock::now() - t0), 1) + " ms";
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

void ExpectAlive(Service& s, const char* during) {
  int status = 0;
  if (Reaped(s, &status)) throw std::runtime_error("service " + Describe(status) + " " + during);
}

long RssKib(pid_t pid) { return StatusField("/proc/" + std::to_string(pid) + "/status", "VmRSS:"); }
long PeakRssKib(pid_t pid) { return StatusField("/proc/" + std::to_string(pid) + "/status", "VmHWM:"); }

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

size_t AnswerSize(const std::string& buf, bool envelope) {
  size_t head = buf.find("\n\n");
  size_t crlf = buf.find("\r\n\r\n");
  if (crlf != std::string::npos && (head == std::string::npos || crlf < head)) head = crlf;
  if (head == std::string::npos) return 0;
  std::string lower = buf.substr(0, head);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const size_t cl = lower.find("content-length:");
  if (cl == std::string::npos) throw std::runtime_error("answer without Content-Length: " + Escaped(buf));
  const size_t bodyStart = head + (buf[head] == '\n' ? 2 : 4);
  return bodyStart + std::strtoul(lower.c_str() + cl + 15, nullptr, 10) + (envelope ? 1 : 0);
}

}  // namespace bench
