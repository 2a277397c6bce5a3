#include "tw/log.h"

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
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %-5l [%t] [%!@%#] %v");
    // Records are rare after start-up and must survive a crash, so each one is written out.
    logger->flush_on(spdlog::level::trace);
  } catch (const std::exception&) {
    return false;
  }
  std::lock_guard<std::mutex> lock(g_keepMutex);
  g_keep.push_back(logger);
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
}

}  // namespace tw::log
