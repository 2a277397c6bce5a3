#include "tw/log.h"
#include "tw/log_file.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace tw::log {
namespace {

std::atomic<spdlog::logger*> g_logger{nullptr};
std::atomic<int> g_severity{static_cast<int>(Severity::None)};

// Replaced loggers stay alive: a statement on another thread may still hold the old pointer.
std::mutex g_keepMutex;
std::vector<std::shared_ptr<spdlog::logger>> g_keep;
std::string g_fileName;  // guarded by g_keepMutex

// The message of a record with its control characters escaped: a logged value (a parameter a
// page sent, say) that holds CR or LF would otherwise start a record of its own.
class EscapedMessage : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
    static const char kHex[] = "0123456789abcdef";
    const char* p = msg.payload.data();
    const char* const end = p + msg.payload.size();
    while (p != end) {
      const char* run = p;
      while (p != end && !IsControl(*p)) ++p;
      dest.append(run, p);
      if (p == end) break;
      const unsigned char c = static_cast<unsigned char>(*p++);
      const char* named = c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\t' ? "\\t" : nullptr;
      if (named != nullptr) {
        dest.append(named, named + 2);
      } else {
        const char hex[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        dest.append(hex, hex + 4);
      }
    }
  }
  std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<EscapedMessage>(); }

 private:
  // Bytes 0x80 and up are left alone: they are parts of UTF-8 or GBK characters.
  static bool IsControl(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c < 0x20 || c == 0x7f;
  }
};

}  // namespace

spdlog::level::level_enum ToLevel(Severity severity) {
  switch (severity) {
    case Severity::Fatal:
      return spdlog::level::critical;
    case Severity::Error:
      return spdlog::level::err;
    case Severity::Warning:
      return spdlog::level::warn;
    case Severity::Info:
      return spdlog::level::info;
    case Severity::Debug:
      return spdlog::level::debug;
    case Severity::Verbose:
      return spdlog::level::trace;
    case Severity::None:
    default:
      return spdlog::level::off;
  }
}

bool Init(const std::string& fileName, Severity maxSeverity) {
  std::shared_ptr<spdlog::logger> logger;
  try {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(fileName, kMaxFileSize, kRolledFiles);
    logger = std::make_shared<spdlog::logger>("tarnwick", std::move(sink));
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<EscapedMessage>('*').set_pattern("%Y-%m-%d %H:%M:%S.%e %-5l [%t] [%!@%#] %*");
    logger->set_formatter(std::move(formatter));
    // Records are rare after start-up and must survive a crash, so each one is written out.
    logger->flush_on(spdlog::level::trace);
  } catch (const std::exception&) {
    return false;
  }
  std::lock_guard<std::mutex> lock(g_keepMutex);
  g_keep.push_back(logger);
  g_fileName = fileName;
  g_logger.store(logger.get());
  SetMaxSeverity(maxSeverity);
  return true;
}

spdlog::logger* Get() { return g_logger.load(std::memory_order_acquire); }

void SetMaxSeverity(Severity severity) {
  g_severity.store(static_cast<int>(severity));
  if (auto* l = Get()) l->set_level(ToLevel(severity));
}

Severity MaxSeverity() { return static_cast<Severity>(g_severity.load()); }

namespace {
thread_local const char* t_routine = nullptr;
}  // namespace

Routine::Routine(const char* function, Severity severity, const char* file, int line)
    : name_(function), severity_(severity), file_(file), line_(line), outer_(t_routine) {
  t_routine = name_;
  Mark("Enter!");
}

Routine::~Routine() {
  Mark("Exit!");
  t_routine = outer_;
}

void Routine::Mark(const char* text) const {
  auto* logger = Get();
  const auto level = ToLevel(severity_);
  if (logger != nullptr && logger->should_log(level)) logger->log(spdlog::source_loc{file_, line_, name_}, level, text);
}

const char* RoutineName(const char* fallback) { return t_routine != nullptr ? t_routine : fallback; }

void Shutdown() {
  if (auto* l = g_logger.exchange(nullptr)) l->flush();
  std::lock_guard<std::mutex> lock(g_keepMutex);
  g_fileName.clear();
}

std::string FileName() {
  std::lock_guard<std::mutex> lock(g_keepMutex);
  return g_fileName;
}

}  // namespace tw::log
