#include "signature_routes.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "http/json.h"
#include "platform/net.h"
#include "platform/version.h"
#include "tw/log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kProgram[] = "PemrikProcessor.exe";
constexpr uint32_t kCommandPauseMs = 50;
constexpr uint32_t kConnectRetryMs = 10;
// A program found running that refuses the connection may still be starting.
constexpr uint32_t kRunningListenWaitMs = 1000;
// How long an ended program may take to vanish from the process list.
constexpr uint32_t kEndWaitMs = 2000;
constexpr char kImagePrefix[] = "{\"result\":\"data:image/png;base64,";
constexpr char kImageSuffix[] = "\"}";

platform::Socket g_socket = platform::kNoSocket;
// Programs this service has been connected to: each serves one connection in its life.
std::set<uint32_t> g_servedPrograms;
// The program the last start made; the process list may not show it under its name yet.
uint32_t g_startedPid = 0;
uint32_t g_replyTimeoutMs = signature::kReplyTimeoutMs;
std::string g_program;

void Pause(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Answer(int result) { return json::Object().Add("return", result).Text(); }

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() / 1000.0;
}

// The running capture programs, by the exact, case-sensitive name of the program file.
std::vector<uint32_t> RunningPrograms() {
  const std::string name = platform::process::ProgramFileName(kProgram);
  std::vector<platform::process::Entry> entries;
  std::vector<uint32_t> pids;
  platform::process::Snapshot(&entries);
  for (const auto& e : entries) {
    if (e.name == name) pids.push_back(e.pid);
  }
  return pids;
}

// ".\PemrikProcessor.exe" from the working folder; a service started by the system works in the
// system folder, so the program beside the service stands in when that one is missing.
std::string ProgramPath() {
  if (!g_program.empty()) return g_program;
  const std::string name = platform::process::ProgramFileName(kProgram);
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::u8path(name), ec))
    return platform::process::ProgramInCurrentFolder(kProgram);
  return platform::ProgramDirectory() + "/" + name;
}

// Closes the connection (after "Quit", or a failed send or receive). true when closing and the
// clean-up succeeded, after the handler's pause; a failure answers at once.
bool TearDown(uint32_t pauseMs) {
  LOG_IN(Error, "Connection terminated");
  const bool closed = platform::CloseSocket(g_socket);
  g_socket = platform::kNoSocket;
  if (!closed) {
    LOG_IN(Error, "closesocket failed!");
    return false;
  }
  if (platform::NetCleanup() != 0) {
    LOG_IN(Error, "WSACleanup failed!");
    return false;
  }
  Pause(pauseMs);
  return true;
}

// The answer of a failed exchange.
std::string Failed(uint32_t pauseMs) {
  TearDown(pauseMs);
  return Answer(-1);
}

// The word with its terminating zero in one send call; false unless all of it went.
bool SendWord(const char* word) {
  const size_t size = std::strlen(word) + 1;
  return g_socket != platform::kNoSocket && platform::Send(g_socket, word, size) == static_cast<long>(size);
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Whether the received text is the whole Base64 text of a PNG: its last bytes are the IEND chunk.
bool EndsWithPngEnd(const std::string& text) {
  static const uint8_t kEnd[8] = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  if (text.size() < 16 || text.size() % 4 != 0) return false;
  std::vector<uint8_t> tail;
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = text.size() - 16; i < text.size(); ++i) {
    if (text[i] == '=') break;
    const char* at = std::strchr(kAlphabet, text[i]);
    if (at == nullptr || text[i] == '\0') return false;
    bits = bits << 6 | static_cast<uint32_t>(at - kAlphabet);
    if (++count % 4 == 0) {
      tail.push_back(static_cast<uint8_t>(bits >> 16));
      tail.push_back(static_cast<uint8_t>(bits >> 8));
      tail.push_back(static_cast<uint8_t>(bits));
      bits = 0;
    }
  }
  if (count % 4 == 2) tail.push_back(static_cast<uint8_t>(bits >> 4));
  if (count % 4 == 3) {
    tail.push_back(static_cast<uint8_t>(bits >> 10));
    tail.push_back(static_cast<uint8_t>(bits >> 2));
  }
  return tail.size() >= 8 && std::equal(kEnd, kEnd + 8, tail.end() - 8);
}

// Only Base64 goes into the answer: a quote, a control character or a zero byte from a faulty
// program would break the JSON or cut the body short of its length.
bool IsBase64Text(const std::string& text) {
  const size_t padding = text.size() - text.find_last_not_of('=') - 1;
  if (padding > 2) return false;
  for (size_t i = 0; i + padding < text.size(); ++i) {
    if (text[i] == '\0' || std::strchr(kAlphabet, text[i]) == nullptr) return false;
  }
  return true;
}

// Connects, waiting for a program that was just started until it listens; false when it never
// does or has ended.
// Whether anything still listens on the capture program's port.
bool PortTakesConnections() {
  if (platform::NetStartup(0x0101) != 0) return false;
  const platform::Socket s = platform::TcpSocket();
  const bool taken = s != platform::kNoSocket && platform::ConnectLoopback(s, signature::kCommandPort);
  if (s != platform::kNoSocket) platform::CloseSocket(s);
  platform::NetCleanup();
  return taken;
}

bool ConnectWhenListening(uint32_t waitMs, uint32_t pid) {
  const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (SocketCreateAndInit() == 0) return true;
    if (Clock::now() >= until) return false;
    if (pid != 0 && !platform::process::Running(pid)) return false;
    Pause(kConnectRetryMs);
  }
}

}  // namespace

namespace signature {
void SetReplyTimeoutForTesting(uint32_t ms) { g_replyTimeoutMs = ms; }
void SetProgramForTesting(const std::string& path) { g_program = path; }
bool Connected() { return g_socket != platform::kNoSocket; }
}  // namespace signature

void FindConsoleUserToken(std::unique_ptr<platform::process::Token>* token) {
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

bool CreatePMProcessAsUser(const platform::process::Token* token, const std::string& applicationName,
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
  g_startedPid = 0;
  if (!platform::process::StartAsUser(*primary, options, *environment, &g_startedPid)) {
    LOG_DEBUG("CreateProcessAsUser Failed! Errorcode:{}", platform::process::LastError());
    return false;
  }
  LOG_DEBUG("End!");
  return true;
}

int SocketCreateAndInit() {
  if (g_socket != platform::kNoSocket) return 0;
  if (platform::NetStartup(0x0101) != 0) LOG_ERROR("ERROR: WSAStartup Failed!");
  const platform::Socket s = platform::TcpSocket();
  if (s == platform::kNoSocket) {
    LOG_ERROR("ERROR: socket Failed!");
    if (platform::NetCleanup() != 0) LOG_ERROR("ERROR: WSACleanup Failed!");
    return -1;
  }
  if (platform::ConnectLoopback(s, signature::kCommandPort)) {
    g_socket = s;
    return 0;
  }
  LOG_ERROR("ERROR: connect Failed!");
  if (platform::CloseSocket(s)) {
    if (platform::NetCleanup() != 0) LOG_ERROR("ERROR: WSACleanup Failed!");
  } else {
    LOG_ERROR("ERROR: closesocket Failed!");
  }
  return -1;
}

bool handle_Pemrik_openDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  std::unique_ptr<platform::process::Token> token;
  FindConsoleUserToken(&token);
  const std::vector<uint32_t> running = RunningPrograms();
  if (!running.empty()) {
    LOG_IN(Debug, "Exist!");
    if (g_socket != platform::kNoSocket) {
      reply(c, Answer(1));
      return true;
    }
    // A program that has served its connection listens no more, even when its port still
    // takes connections for a moment; one that refuses a while is deaf as well.
    const bool served =
        std::all_of(running.begin(), running.end(), [](uint32_t pid) { return g_servedPrograms.count(pid) > 0; });
    // The one this service started last may still be coming up (a first start under a fresh
    // Windows profile takes seconds): it gets the whole start-up wait, not a restart.
    const bool ours = std::find(running.begin(), running.end(), g_startedPid) != running.end();
    if (!served && ConnectWhenListening(ours ? signature::kListenWaitMs : kRunningListenWaitMs,
                                        ours ? g_startedPid : running.front())) {
      g_servedPrograms.insert(running.begin(), running.end());
      reply(c, Answer(1));
      return true;
    }
    // Ending it lets a new one take its place, once it is gone: until then it holds the port,
    // and could be taken for the new one.
    for (const uint32_t pid : running) {
      LOG_IN(Error, "PemrikProcessor does not listen, ending it:{}", pid);
      platform::process::Terminate(pid);
    }
    // Its threads may still hold the port after the process has left the list.
    const auto until = Clock::now() + std::chrono::milliseconds(kEndWaitMs);
    while ((!RunningPrograms().empty() || PortTakesConnections()) && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!CreatePMProcessAsUser(token.get(), ProgramPath(), "")) {
    LOG_IN(Error, "CreatePMProcessAsUser Fail!");
    reply(c, Answer(-1));
    return true;
  }
  // Instead of one try after 50 ms, which mostly came too early: tries until it listens (or
  // has ended).
  if (!ConnectWhenListening(signature::kListenWaitMs, g_startedPid)) {
    reply(c, Answer(-1));
    return true;
  }
  // Once it has taken the connection it reads commands: no pause after connecting.
  g_servedPrograms.insert(g_startedPid);
  reply(c, Answer(0));
  return true;
}

namespace {

// A command without a reply: 0 once its word went out.
void FireAndForget(const char* word, uint32_t pauseMs, uint32_t failurePauseMs, mg_connection* c, ReplySender reply) {
  if (!SendWord(word)) {
    reply(c, Failed(failurePauseMs));
    return;
  }
  Pause(pauseMs);
  reply(c, Answer(0));
}

}  // namespace

bool handle_Pemrik_initDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  FireAndForget("Init", kCommandPauseMs, kCommandPauseMs, c, reply);
  return true;
}

bool handle_Pemrik_closeDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  FireAndForget("Close", kCommandPauseMs, kCommandPauseMs, c, reply);
  return true;
}

bool handle_Pemrik_clearDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  FireAndForget("Clear", 0, 0, c, reply);
  return true;
}

bool handle_Pemrik_getSign(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const auto start = Clock::now();
  if (!SendWord("GetSign")) {
    reply(c, Failed(0));
    return true;
  }
  LOG_IN(Debug, "Has Send!");
  LOG_IN(Debug, "recv");
  // The text has no end mark of its own and may come in pieces: read until it ends with the
  // PNG's last chunk, within the limit and the time-out.
  std::string text;
  std::vector<char> buffer(signature::kReceiveLimit);
  const auto until = start + std::chrono::milliseconds(g_replyTimeoutMs);
  while (!EndsWithPngEnd(text)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    const long n = left <= 0 ? platform::kTimedOut
                             : platform::Receive(g_socket, buffer.data(), signature::kReceiveLimit - text.size(),
                                                 static_cast<uint32_t>(left));
    if (n <= 0 || text.size() + static_cast<size_t>(n) >= signature::kReceiveLimit) {
      if (n == platform::kTimedOut) LOG_IN(Error, "GetSign: no whole reply within {} ms", g_replyTimeoutMs);
      reply(c, Failed(0));
      return true;
    }
    text.append(buffer.data(), static_cast<size_t>(n));
  }
  LOG_IN(Debug, "ReadFile time is: {}s", SecondsSince(start));
  if (!IsBase64Text(text)) {
    LOG_IN(Error, "GetSign: the reply is not Base64 text");
    reply(c, Failed(0));
    return true;
  }
  std::string body;
  body.reserve(sizeof kImagePrefix + text.size() + sizeof kImageSuffix);
  body.append(kImagePrefix).append(text).append(kImageSuffix);
  mg_printf(c, kReplyEnvelope, static_cast<int>(body.size()), body.c_str());
  LOG_IN(Debug, "mg_printf time is: {}s", SecondsSince(start));
  return true;
}

bool handle_Pemrik_quitDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  if (!SendWord("Quit")) {
    reply(c, Failed(kCommandPauseMs));
    return true;
  }
  // The normal end: the same tear-down, answered with 0 when closing and clean-up succeed.
  reply(c, Answer(TearDown(kCommandPauseMs) ? 0 : -1));
  return true;
}

bool handle_Pemrik_confirmDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  if (!SendWord("Confirm")) {
    reply(c, Failed(kCommandPauseMs));
    return true;
  }
  char text[16] = {};
  const long n = platform::Receive(g_socket, text, sizeof text - 1, g_replyTimeoutMs);
  if (n <= 0) {
    if (n == platform::kTimedOut) LOG_IN(Error, "Confirm: no reply within {} ms", g_replyTimeoutMs);
    reply(c, Failed(0));
    return true;
  }
  reply(c, Answer(std::atoi(text) == 1 ? 0 : -1));
  return true;
}
