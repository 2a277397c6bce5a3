// The one logger of a program: a text file that rolls at 10000 bytes and keeps 4 rolled files
// ("Log/2026-12-07.txt", "Log/2026-12-07.1.txt", ...). Records carry time, severity, thread,
// function and line. Every statement first asks whether a logger exists and admits the
// severity, so programs without a logger (the command words) write nothing.
#pragma once

#include <spdlog/spdlog.h>

#include <cstddef>
#include <string>

namespace tw::log {

// Severity numbers as the service speaks of them ("/Local/Debug" switches between 5 and 2).
enum class Severity { None = 0, Fatal = 1, Error = 2, Warning = 3, Info = 4, Debug = 5, Verbose = 6 };

constexpr std::size_t kMaxFileSize = 10000;
constexpr std::size_t kRolledFiles = 4;

// Creates (or replaces) the logger writing to `fileName`. false when the file cannot be opened.
bool Init(const std::string& fileName, Severity maxSeverity);
// The logger, or null when none exists.
spdlog::logger* Get();
void SetMaxSeverity(Severity severity);
Severity MaxSeverity();
// Removes the logger; later statements write nothing.
void Shutdown();

spdlog::level::level_enum ToLevel(Severity severity);

// A routine's "Enter!" when it begins and its "Exit!" on every way out, both under the
// routine's own name. While it runs, LOG_IN records on its thread carry that name too: from
// lambdas inside it (whose own name would be "operator()") and from the helpers it calls.
class Routine {
 public:
  Routine(const char* function, Severity severity, const char* file, int line);
  ~Routine();
  Routine(const Routine&) = delete;
  Routine& operator=(const Routine&) = delete;

 private:
  void Mark(const char* text) const;
  const char* const name_;
  const Severity severity_;
  const char* const file_;
  const int line_;
  const char* const outer_;
};

// The innermost routine running on this thread, else `fallback`.
const char* RoutineName(const char* fallback);

}  // namespace tw::log

#define TW_LOG(severity, ...)                                         \
  do {                                                                \
    auto* tw_logger_ = ::tw::log::Get();                              \
    const auto tw_level_ = ::tw::log::ToLevel(severity);              \
    if (tw_logger_ != nullptr && tw_logger_->should_log(tw_level_)) { \
      SPDLOG_LOGGER_CALL(tw_logger_, tw_level_, __VA_ARGS__);         \
    }                                                                 \
  } while (0)

// Same, with the function name given explicitly (a helper logging on behalf of its caller).
#define TW_LOG_AS(function, severity, ...)                                                       \
  do {                                                                                           \
    auto* tw_logger_ = ::tw::log::Get();                                                         \
    const auto tw_level_ = ::tw::log::ToLevel(severity);                                         \
    if (tw_logger_ != nullptr && tw_logger_->should_log(tw_level_)) {                            \
      tw_logger_->log(spdlog::source_loc{__FILE__, __LINE__, function}, tw_level_, __VA_ARGS__); \
    }                                                                                            \
  } while (0)

// Enter!/Exit! of the enclosing function at DEBUG (route handlers) or INFO (service control).
#define LOG_ROUTINE(severity) \
  ::tw::log::Routine tw_routine_(__func__, ::tw::log::Severity::severity, __FILE__, __LINE__)
// A record under the name of the routine that LOG_ROUTINE began on this thread.
#define LOG_IN(severity, ...) \
  TW_LOG_AS(::tw::log::RoutineName(__FUNCTION__), ::tw::log::Severity::severity, __VA_ARGS__)

#define LOG_FATAL(...) TW_LOG(::tw::log::Severity::Fatal, __VA_ARGS__)
#define LOG_ERROR(...) TW_LOG(::tw::log::Severity::Error, __VA_ARGS__)
#define LOG_WARN(...) TW_LOG(::tw::log::Severity::Warning, __VA_ARGS__)
#define LOG_INFO(...) TW_LOG(::tw::log::Severity::Info, __VA_ARGS__)
#define LOG_DEBUG(...) TW_LOG(::tw::log::Severity::Debug, __VA_ARGS__)
