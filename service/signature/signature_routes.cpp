#include "signature_routes.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/json.h"
#include "platform/net.h"
#include "tw/log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCommandPauseMs = 50;
constexpr char kImagePrefix[] = "{\"result\":\"data:image/png;base64,";
constexpr char kImageSuffix[] = "\"}";
// The reply envelope with the SVG's own type, so that the document can be saved or shown as it is.
constexpr char kSvgEnvelope[] =
    "HTTP/1.1 200 OK\r\nContent-Type: image/svg+xml\nCache-Control: no-cache\n"
    "Content-Length: %d\nAccess-Control-Allow-Origin: *\n\n%s\n";

std::atomic<uint32_t> g_replyTimeoutMs{signature::kReplyTimeoutMs};

// The program's state is the signature lane's, and at the stop the service's main thread's.
std::mutex& ProgramMutex() {
  static std::mutex mutex;
  return mutex;
}

void Pause(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Answer(int result) { return json::Object().Add("return", result).Text(); }

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() / 1000.0;
}

// Closes the connection (after "Quit", or a failed send or receive). true when closing and the
// clean-up succeeded, after the handler's pause; a failure answers at once.
bool TearDown(uint32_t pauseMs) {
  if (!signature::Program().TearDown()) return false;
  Pause(pauseMs);
  return true;
}

// The answer of a failed exchange.
std::string Failed(uint32_t pauseMs) {
  TearDown(pauseMs);
  return Answer(-1);
}

bool SendWord(const char* word) { return signature::Program().Send(word); }

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

}  // namespace

namespace signature {
void SetReplyTimeoutForTesting(uint32_t ms) { g_replyTimeoutMs = ms; }
void SetProgramForTesting(const std::string& path) { Program().SetProgram(path); }
bool Connected() {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  return Program().Connected();
}
void EndCaptureProgram() {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  Program().End();
}
}  // namespace signature

bool handle_Pemrik_openDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  LOG_ROUTINE(Debug);
  signature::CaptureProgram& program = signature::Program();
  // 1 only for a live peer: a connection whose program has died goes before anything else.
  if (program.Connected()) {
    if (program.Alive()) {
      LOG_IN(Debug, "Exist!");
      reply(c, Answer(1));
      return true;
    }
    program.TearDown();
  }
  const uint32_t ours = program.Ours();
  if (ours != 0) {
    LOG_IN(Debug, "Exist!");
    // Started by the last OpenDev and still coming up (a first start under a fresh Windows
    // profile takes seconds): it gets the rest of the start-up wait, not a restart.
    if (program.AwaitsConnection() && program.SocketCreateAndInit(signature::kListenWaitMs, ours) == 0) {
      reply(c, Answer(1));
      return true;
    }
    // It has served its one connection, or is deaf: a new one takes its place.
    program.End();
    program.WaitPortFree(signature::kEndWaitMs);
  } else if (!program.Running().empty()) {
    // Started by someone else: used when it takes the connection, never ended.
    LOG_IN(Debug, "Exist!");
    if (program.SocketCreateAndInit(signature::kRunningListenWaitMs, 0) == 0) {
      reply(c, Answer(1));
      return true;
    }
  }
  if (!program.Start()) {
    LOG_IN(Error, "CreatePMProcessAsUser Fail!");
    reply(c, Answer(-1));
    return true;
  }
  // Instead of one try after 50 ms, which mostly came too early: tries until it listens (or has
  // ended). Once it has taken the connection it reads commands: no pause after connecting.
  if (program.SocketCreateAndInit(signature::kListenWaitMs, program.Ours()) != 0) {
    program.End();
    reply(c, Answer(-1));
    return true;
  }
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
  const std::lock_guard<std::mutex> held(ProgramMutex());
  LOG_ROUTINE(Debug);
  FireAndForget("Init", kCommandPauseMs, kCommandPauseMs, c, reply);
  return true;
}

bool handle_Pemrik_closeDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  LOG_ROUTINE(Debug);
  FireAndForget("Close", kCommandPauseMs, kCommandPauseMs, c, reply);
  return true;
}

bool handle_Pemrik_clearDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  LOG_ROUTINE(Debug);
  FireAndForget("Clear", 0, 0, c, reply);
  return true;
}

bool handle_Pemrik_getSign(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  const std::lock_guard<std::mutex> held(ProgramMutex());
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
                             : signature::Program().Receive(buffer.data(), signature::kReceiveLimit - text.size(),
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
  const std::lock_guard<std::mutex> held(ProgramMutex());
  LOG_ROUTINE(Debug);
  if (!SendWord("Quit")) {
    reply(c, Failed(kCommandPauseMs));
    return true;
  }
  // The normal end: the same tear-down, answered with 0 when closing and clean-up succeed.
  reply(c, Answer(TearDown(kCommandPauseMs) ? 0 : -1));
  return true;
}

namespace {

// Sends a point word and reads its whole reply; the caller holds the program's lock. A failed
// send or receive, or a reply that does not read, closes the connection (a reply cut short would
// leave the rest to be taken for the next one).
bool ExchangePoints(const std::string& word, signature::PenPoints* out) {
  if (!SendWord(word.c_str())) {
    TearDown(0);
    return false;
  }
  std::string text;
  std::vector<char> buffer(65536);
  const auto until = Clock::now() + std::chrono::milliseconds(g_replyTimeoutMs);
  while (!signature::PointsReplyComplete(text)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    const long n = left <= 0 ? platform::kTimedOut
                             : signature::Program().Receive(buffer.data(), buffer.size(), static_cast<uint32_t>(left));
    if (n <= 0 || text.size() + static_cast<size_t>(n) > signature::kPointsReceiveLimit) {
      if (n == platform::kTimedOut) LOG_IN(Error, "{}: no whole reply within {} ms", word, g_replyTimeoutMs);
      TearDown(0);
      return false;
    }
    text.append(buffer.data(), static_cast<size_t>(n));
  }
  if (!signature::ParsePointsReply(text, out)) {
    LOG_IN(Error, "{}: the reply does not read", word);
    TearDown(0);
    return false;
  }
  return true;
}

// Past every index: a reply without points, only the record's state.
constexpr char kStateOnly[] = "GetPoints 18446744073709551615";

}  // namespace

namespace signature {

bool FetchPoints(uint64_t index, PenPoints* out) {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  return ExchangePoints("GetPoints " + std::to_string(index), out);
}

int PeekConfirmed() {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  PenPoints state;
  if (!ExchangePoints(kStateOnly, &state)) return -1;
  return state.confirmed ? 1 : 0;
}

bool SimulationWord(const char* word) {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  if (!SendWord(word)) return false;
  char text[8] = {};
  const long n = signature::Program().Receive(text, sizeof text - 1, g_replyTimeoutMs);
  return n > 0 && text[0] == '1';
}

}  // namespace signature

bool handle_Pemrik_getSignData(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  LOG_ROUTINE(Debug);
  char format[8] = {};
  const int length = mg_get_http_var(params, "format", format, sizeof format);
  const std::string_view f(format, length > 0 ? static_cast<size_t>(length) : 0);
  signature::PenPoints data;
  if ((f != "json" && f != "svg") || !ExchangePoints("GetStrokes", &data)) {
    reply(c, Answer(-1));
    return true;
  }
  if (f == "json") {
    reply(c, signature::SignDataJson(data));
    return true;
  }
  const std::string svg = signature::SignDataSvg(data);
  mg_printf(c, kSvgEnvelope, static_cast<int>(svg.size()), svg.c_str());
  return true;
}

bool handle_Pemrik_confirmDev(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  const std::lock_guard<std::mutex> held(ProgramMutex());
  LOG_ROUTINE(Debug);
  if (!SendWord("Confirm")) {
    reply(c, Failed(kCommandPauseMs));
    return true;
  }
  char text[16] = {};
  const long n = signature::Program().Receive(text, sizeof text - 1, g_replyTimeoutMs);
  if (n <= 0) {
    if (n == platform::kTimedOut) LOG_IN(Error, "Confirm: no reply within {} ms", g_replyTimeoutMs);
    reply(c, Failed(0));
    return true;
  }
  reply(c, Answer(std::atoi(text) == 1 ? 0 : -1));
  return true;
}
