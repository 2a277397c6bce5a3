// A Tarnwick run from the outside, for the benchmarks and the load test: started as
// "Tarnwick console" with posix_spawn in a fresh folder under /tmp, its port read from the line
// it prints, its /proc figures, and a clean stop.
#pragma once

#include <sys/types.h>

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

extern const uint16_t kCandidatePorts[3];

struct Service {
  pid_t pid = -1;
  int out = -1;  // read end of the service's stdout
  std::filesystem::path dir;
  std::string stdoutText;
  std::thread drain;
};

struct Startup {
  uint16_t port = 0;
  double lineMs = 0, connectMs = 0;
};

// SIGALRM kills the service, which unblocks every read on it; set with alarm() around a step.
extern volatile std::sig_atomic_t g_timedOut;
void InstallAlarm();

std::string Fixed(double v, int decimals);
double Ms(Clock::duration d);
double Us(Clock::duration d);
std::string Escaped(const std::string& bytes);

bool TryConnect(uint16_t port);
// The first candidate nobody listens on: a guess that lets us probe before the service prints.
uint16_t PredictPort();
void Spawn(Service& s, const std::string& binary);
Startup WaitListening(Service& s, Clock::time_point t0, uint16_t predicted);
// Keeps the pipe from filling up; returns at EOF, when the service is gone.
void StartDrain(Service& s);
// SIGTERM, then waits (SIGKILL after 10 s); how it ended, and its exit code.
std::string StopService(Service& s, int* exitCode);
// Stops what still runs, shows the service's standard error, removes its folder.
void Cleanup(Service& s);
// Throws when the service ended, so that no figure is read from a dead process.
void ExpectAlive(Service& s, const char* during);

long RssKib(pid_t pid);
long PeakRssKib(pid_t pid);
long ContextSwitches(pid_t pid, int* threads);

// Size of the complete answer at the front of buf, or 0 while its head is incomplete. The
// service's envelope ends with one LF that Content-Length leaves out; other servers' do not.
size_t AnswerSize(const std::string& buf, bool envelope = true);

}  // namespace bench
