#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/codepage.h"
#include "tw/log.h"
#include "tw/testing.h"

namespace fs = std::filesystem;

namespace {

using tw::testing::ReadFile;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { file_ = dir_ / "2026-12-07.txt"; }
  void TearDown() override { tw::log::Shutdown(); }
  tw::testing::WorkDirectory work_{"tw_log", false};
  const fs::path& dir_ = work_.path();
  fs::path file_;
};

TEST_F(LogTest, RecordCarriesSeverityThreadFunctionAndLine) {
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Debug));
  const int line = __LINE__ + 1;
  LOG_DEBUG("WebServer Port:{}", 12321);
  const std::string text = ReadFile(file_);
  EXPECT_NE(text.find(" DEBUG ["), std::string::npos) << text;
  EXPECT_NE(text.find("[TestBody@" + std::to_string(line) + "] WebServer Port:12321"), std::string::npos) << text;
}

void HelperOfTheRoutine() { LOG_IN(Debug, "helper"); }

void handle_Some_Route() {
  LOG_ROUTINE(Debug);
  auto step = [] { LOG_IN(Error, "from a lambda"); };
  step();
  HelperOfTheRoutine();
}

// Every record of a routine, its Exit! on the way out included, names the routine itself.
TEST_F(LogTest, RoutineRecordsCarryTheRoutinesName) {
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Debug));
  handle_Some_Route();
  HelperOfTheRoutine();
  const std::string text = ReadFile(file_);
  for (const char* record : {"Enter!", "from a lambda", "helper", "Exit!"}) {
    EXPECT_NE(text.find("[handle_Some_Route@"), std::string::npos);
    const size_t at = text.find(record);
    ASSERT_NE(at, std::string::npos) << record;
    const size_t open = text.rfind('[', at);
    EXPECT_EQ(text.compare(open, 19, "[handle_Some_Route@"), 0) << text.substr(open, at - open);
  }
  EXPECT_EQ(text.find("operator()"), std::string::npos) << text;
  EXPECT_NE(text.find("[HelperOfTheRoutine@"), std::string::npos) << text;  // outside the routine
}

TEST_F(LogTest, MaxSeverityFiltersAndSwitchesAtRunTime) {
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Error));
  LOG_DEBUG("hidden debug");
  LOG_INFO("hidden info");
  LOG_ERROR("shown error");
  tw::log::SetMaxSeverity(tw::log::Severity::Debug);
  EXPECT_EQ(tw::log::MaxSeverity(), tw::log::Severity::Debug);
  LOG_DEBUG("shown debug");
  LOG_FATAL("shown fatal");
  const std::string text = ReadFile(file_);
  EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR"), std::string::npos);
  EXPECT_NE(text.find("shown error"), std::string::npos);
  EXPECT_NE(text.find("shown debug"), std::string::npos);
  EXPECT_NE(text.find("FATAL"), std::string::npos);
}

TEST_F(LogTest, WithoutLoggerNothingIsWritten) {
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Debug));
  LOG_ERROR("before");
  tw::log::Shutdown();
  EXPECT_EQ(tw::log::Get(), nullptr);
  LOG_ERROR("after");
  const std::string text = ReadFile(file_);
  EXPECT_NE(text.find("before"), std::string::npos);
  EXPECT_EQ(text.find("after"), std::string::npos);
}

TEST_F(LogTest, RollsAtTenThousandBytesKeepingFiveFiles) {
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Debug));
  const std::string filler(150, 'x');
  for (int i = 0; i < 600; ++i) LOG_ERROR("record {} {}", i, filler);
  tw::log::Shutdown();
  for (int n = 1; n <= 4; ++n) {
    const fs::path rolled = dir_ / ("2026-12-07." + std::to_string(n) + ".txt");
    ASSERT_TRUE(fs::exists(rolled)) << rolled;
    EXPECT_LE(fs::file_size(rolled), tw::log::kMaxFileSize);
    EXPECT_GT(fs::file_size(rolled), tw::log::kMaxFileSize - 400);
  }
  EXPECT_TRUE(fs::exists(file_));
  EXPECT_LE(fs::file_size(file_), tw::log::kMaxFileSize);
  EXPECT_FALSE(fs::exists(dir_ / "2026-12-07.5.txt"));
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 5);
  // The newest record is in the current file, the oldest kept ones in number 4.
  EXPECT_NE(ReadFile(file_).find("record 599 "), std::string::npos);
  EXPECT_EQ(ReadFile(dir_ / "2026-12-07.4.txt").find("record 0 "), std::string::npos);
}

TEST_F(LogTest, ReopeningTheSameFileAppends) {
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Debug));
  LOG_ERROR("first run");
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Debug));
  LOG_ERROR("second run");
  tw::log::Shutdown();
  const std::string text = ReadFile(file_);
  EXPECT_NE(text.find("first run"), std::string::npos);
  EXPECT_NE(text.find("second run"), std::string::npos);
}

TEST_F(LogTest, ChineseTextsUseTheLogCodePage) {
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Debug));
  LOG_ERROR("{}", platform::LogText("男"));
  tw::log::Shutdown();
  const std::string text = ReadFile(file_);
#if defined(_WIN32)
  EXPECT_NE(text.find("\xC4\xD0"), std::string::npos);
#else
  EXPECT_NE(text.find("\xE7\x94\xB7"), std::string::npos);
#endif
}

// A logged value cannot start a record of its own: its control characters are escaped, while
// the record's own layout (one line, ended by the sink) and non-ASCII text stay.
TEST_F(LogTest, ControlCharactersInValuesAreEscaped) {
  ASSERT_TRUE(tw::log::Init(file_.string(), tw::log::Severity::Debug));
  const struct {
    std::string value, logged;
  } cases[] = {
      {"a\r\n2026-12-07 00:00:00.000 ERROR [1] [forged@1] b", "a\\r\\n2026-12-07 00:00:00.000 ERROR [1] [forged@1] b"},
      {"lf\nonly", "lf\\nonly"},
      {"cr\ronly", "cr\\ronly"},
      {"tab\there", "tab\\there"},
      {std::string("nul\0esc\x1b[2Jdel\x7f", 15), "nul\\x00esc\\x1b[2Jdel\\x7f"},
      {"\xE6\x9E\x97\xC4\xD0 \\path", "\xE6\x9E\x97\xC4\xD0 \\path"},
  };
  for (const auto& c : cases) LOG_DEBUG("Value:{}|", c.value);
  tw::log::Shutdown();
  std::istringstream text(ReadFile(file_));
  std::string line;
  size_t records = 0;
  for (const auto& c : cases) {
    ASSERT_TRUE(std::getline(text, line));
    ++records;
    // Windows ends a record with CR LF: that CR is the sink's, not the value's.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_NE(line.find(" DEBUG ["), std::string::npos) << line;
    EXPECT_NE(line.find("] Value:" + c.logged + "|"), std::string::npos) << line;
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
  }
  EXPECT_FALSE(std::getline(text, line)) << line;
  EXPECT_EQ(records, std::size(cases));
}

TEST_F(LogTest, UnwritableFileIsReported) {
  std::ofstream(dir_ / "blocker") << "a file where the folder should be";
  EXPECT_FALSE(tw::log::Init((dir_ / "blocker" / "x.txt").string(), tw::log::Severity::Debug));
}

}  // namespace
