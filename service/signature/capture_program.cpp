#include "capture_program.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/folders.h"
#include "tw/log.h"

namespace signature {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kProgram[] = "PemrikProcessor.exe";
constexpr uint32_t kConnectRetryMs = 10;
// One attempt never takes longer: a listener that does not accept must not eat the whole wait.
constexpr uint32_t kConnectAttemptMs = 1000;

void Pause(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <class Pred>
bool WaitUntil(Pred done, uint32_t ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() >= until) return false;
    Pause(kConnectRetryMs);
  }
  return true;
}

long MsLeft(Clock::time_point until) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
}

}  // namespace

CaptureProgram::CaptureProgram() { SetRecordFile(kRecordFile); }

CaptureProgram::~CaptureProgram() {
  if (Connected()) platform::CloseSocket(socket_);
}

void CaptureProgram::SetRecordFile(const std::string& path) {
  recordFile_ = path;
  pid_ = 0;
  startTime_ = 0;
  fresh_ = false;
  std::ifstream in(std::filesystem::u8path(path));
  in >> pid_ >> startTime_;
  if (!in) pid_ = 0;
}

std::vector<uint32_t> CaptureProgram::Running() const {
  const std::string name = platform::process::ProgramFileName(kProgram);
  std::vector<platform::process::Entry> entries;
  std::vector<uint32_t> pids;
  platform::process::Snapshot(&entries);
  for (const auto& e : entries) {
    if (e.name == name) pids.push_back(e.pid);
  }
  return pids;
}

uint32_t CaptureProgram::Ours() {
  if (pid_ == 0) return 0;
  // The name and the start time both: the pid alone may have gone to another program.
  const std::vector<uint32_t> running = Running();
  if (std::find(running.begin(), running.end(), pid_) != running.end() &&
      platform::process::StartTime(pid_) == startTime_) {
    return pid_;
  }
  Forget();
  return 0;
}

bool CaptureProgram::AwaitsConnection() { return fresh_ && Ours() != 0; }

std::string CaptureProgram::ProgramPath() const {
  if (!program_.empty()) return program_;
  // ".\PemrikProcessor.exe" from the working folder; a service started by the system works in
  // the system folder, so the program beside the service stands in when that one is missing.
  const std::string name = platform::process::ProgramFileName(kProgram);
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::u8path(name), ec))
    return platform::process::ProgramInCurrentFolder(kProgram);
  return platform::ProgramDirectory() + "/" + name;
}

void CaptureProgram::FindConsoleUserToken(std::unique_ptr<platform::process::Token>* token) {
  const uint32_t session = platform::process::ActiveConsoleSession();
  *token = platform::process::QueryUserToken(session);
  if (*token) return;
  std::vector<platform::process::Entry> entries;
  if (!platform::process::Snapshot(&entries)) return;
  for (const auto& e : entries) {
    std::string name = e.name;
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    uint32_t s = 0;
    if (name == "explorer.exe" && platform::process::SessionOf(e.pid, &s) && s == session) {
      *token = platform::process::OpenProcessToken(e.pid);
      return;
    }
  }
}

bool CaptureProgram::CreatePMProcessAsUser(const platform::process::Token* token, const std::string& applicationName,
                                           const std::string& commandLine) {
  LOG_DEBUG("hToken{}", token != nullptr ? token->Value() : 0);
  if (token == nullptr) return false;
  std::unique_ptr<platform::process::Token> primary = platform::process::DuplicatePrimary(*token);
  if (!primary) return false;
  if (!platform::process::SetTokenSession(*primary, platform::process::ActiveConsoleSession())) return false;
  std::unique_ptr<platform::process::Environment> environment = platform::process::CreateEnvironment(*primary);
  if (!environment) return false;
  // The program does not inherit the service's environment: the service's own settings, the
  // simulation switch among them, are passed on.
  for (const auto& [name, value] : platform::process::VariablesStartingWith("TARNWICK_")) environment->Set(name, value);
  LOG_DEBUG("CreateProcessAsUser");
  platform::process::StartOptions options;
  options.application = applicationName;
  options.commandLine = commandLine;
  uint32_t pid = 0;
  if (!platform::process::StartAsUser(*primary, options, *environment, &pid)) {
    LOG_DEBUG("CreateProcessAsUser Failed! Errorcode:{}", platform::process::LastError());
    return false;
  }
  LOG_DEBUG("End!");
  Record(pid);
  return true;
}

bool CaptureProgram::Start() {
  if (inUserSession_) {
    std::unique_ptr<platform::process::Token> token;
    FindConsoleUserToken(&token);
    return CreatePMProcessAsUser(token.get(), ProgramPath(), "");
  }
  platform::process::StartOptions options;
  options.application = ProgramPath();
  uint32_t pid = 0;
  if (!platform::process::StartAsCurrentUser(options, &pid)) {
    LOG_IN(Error, "start as this user failed:{}", platform::process::LastError());
    return false;
  }
  Record(pid);
  return true;
}

void CaptureProgram::Record(uint32_t pid) {
  pid_ = pid;
  startTime_ = platform::process::StartTime(pid);
  fresh_ = true;
  std::ofstream out(std::filesystem::u8path(recordFile_), std::ios::trunc);
  out << pid_ << ' ' << startTime_ << '\n';
  if (!out) LOG_IN(Error, "cannot record the capture program in {}", recordFile_);
}

void CaptureProgram::Forget() {
  pid_ = 0;
  startTime_ = 0;
  fresh_ = false;
  std::error_code ec;
  std::filesystem::remove(std::filesystem::u8path(recordFile_), ec);
}

int CaptureProgram::SocketCreateAndInit(uint32_t waitMs, uint32_t pid) {
  if (Connected()) return 0;
  if (platform::NetStartup(0x0101) != 0) LOG_ERROR("ERROR: WSAStartup Failed!");
  // A program just started may not listen yet: tried again every few milliseconds, and told
  // once in the log when it never did.
  const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
  int tries = 0;
  int error = 0;
  for (;;) {
    const platform::Socket s = platform::TcpSocket();
    if (s == platform::kNoSocket) {
      LOG_ERROR("ERROR: socket Failed!");
      break;
    }
    ++tries;
    const long left = std::max(1L, std::min(MsLeft(until), static_cast<long>(kConnectAttemptMs)));
    if (platform::ConnectLoopback(s, kCommandPort, static_cast<uint32_t>(left))) {
      // A peer that stops reading must not hold a send for ever.
      platform::SetSendTimeout(s, kListenWaitMs);
      socket_ = s;
      connectedToOurs_ = pid != 0 && pid == pid_;
      if (connectedToOurs_) fresh_ = false;
      return 0;
    }
    error = platform::LastNetError();
    platform::CloseSocket(s);
    if (MsLeft(until) <= 0 || (pid != 0 && !platform::process::Running(pid))) break;
    Pause(kConnectRetryMs);
  }
  LOG_ERROR("ERROR: connect Failed! {} tries in {} ms, last error {}", tries, waitMs, error);
  if (platform::NetCleanup() != 0) LOG_ERROR("ERROR: WSACleanup Failed!");
  return -1;
}

bool CaptureProgram::Alive() const {
  // The process is asked as well: a program's main thread may be seen ended while its other
  // threads, and with them its socket, are still going.
  return Connected() && platform::PeerOpen(socket_) && (!connectedToOurs_ || platform::process::Running(pid_));
}

bool CaptureProgram::Send(const char* word) {
  const size_t size = std::strlen(word) + 1;
  return Alive() && platform::Send(socket_, word, size) == static_cast<long>(size);
}

long CaptureProgram::Receive(void* data, size_t size, uint32_t timeoutMs) {
  return platform::Receive(socket_, data, size, timeoutMs);
}

bool CaptureProgram::TearDown() {
  LOG_IN(Error, "Connection terminated");
  const bool closed = platform::CloseSocket(socket_);
  socket_ = platform::kNoSocket;
  if (!closed) {
    LOG_IN(Error, "closesocket failed!");
    return false;
  }
  if (platform::NetCleanup() != 0) {
    LOG_IN(Error, "WSACleanup failed!");
    return false;
  }
  return true;
}

void CaptureProgram::End() {
  const uint32_t pid = Ours();
  bool quitSent = false;
  if (Connected()) {
    // A program someone else started is left running; only the connection goes.
    if (connectedToOurs_ && pid != 0) quitSent = Send("Quit");
    TearDown();
  }
  if (pid == 0) return;
  const auto ended = [pid] { return !platform::process::Running(pid); };
  if (!quitSent || !WaitUntil(ended, kQuitWaitMs)) {
    LOG_IN(Error, "PemrikProcessor ended by force:{}", pid);
    platform::process::Terminate(pid);
    WaitUntil(ended, kEndWaitMs);
  }
  Forget();
}

bool CaptureProgram::WaitPortFree(uint32_t waitMs) {
  // Probed by binding, not by connecting: a connection would use up a listening program's one.
  return WaitUntil(
      [] {
        int error = 0;
        return platform::ProbeTcpPort(kCommandPort, "127.0.0.1", &error) != platform::PortProbe::InUse;
      },
      waitMs);
}

CaptureProgram& Program() {
  static CaptureProgram program;
  return program;
}

}  // namespace signature
