#include "platform/version.h"
#include "platform/folders.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/codepage.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

#if defined(_WIN32)
constexpr const char* kProbe = "tw_version_probe.exe";
constexpr char kSeparator = '\\';
#else
constexpr const char* kProbe = "tw_version_probe";
constexpr char kSeparator = '/';
#endif

std::string FileName(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string Stem(std::string name) {
  if (name.size() > 4) {
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tail == ".exe") name.resize(name.size() - 4);
  }
  return name;
}

// Runs a program (UTF-8 path) with one argument and returns what it wrote to stdout.
std::string RunProgram(const std::string& program, const std::string& argument) {
  std::string output;
#if defined(_WIN32)
  // cmd /c keeps the quotes when the line starts with a quoted program name and has two pairs.
  const std::wstring command = L"\"\"" + WideFromUtf8(program) + L"\" " + WideFromUtf8(argument) + L"\"";
  FILE* pipe = _wpopen(command.c_str(), L"rb");
#else
  const std::string command = "'" + program + "' " + argument;
  FILE* pipe = popen(command.c_str(), "r");
#endif
  if (pipe == nullptr) return "<cannot start " + program + ">";
  char buffer[512];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
#if defined(_WIN32)
  _pclose(pipe);
#else
  pclose(pipe);
#endif
  return output;
}

std::string ProbePath() { return ProgramDirectory() + kSeparator + kProbe; }

TEST(Version, ProgramPathNamesThisProgram) {
  const std::string path = ProgramPath();
  ASSERT_FALSE(path.empty());
  const std::vector<std::string> args = testing::internal::GetArgvs();
  ASSERT_FALSE(args.empty());
  EXPECT_EQ(Stem(FileName(path)), Stem(FileName(args[0]))) << path;
  EXPECT_TRUE(fs::path(path).is_absolute()) << path;
  EXPECT_TRUE(fs::is_regular_file(fs::u8path(path))) << path;
}

TEST(Version, ProgramDirectoryIsPrefixOfPath) {
  const std::string path = ProgramPath();
  const std::string dir = ProgramDirectory();
  ASSERT_FALSE(dir.empty());
  ASSERT_LT(dir.size(), path.size());
  EXPECT_EQ(path.compare(0, dir.size(), dir), 0) << dir << " vs " << path;
  EXPECT_EQ(path[dir.size()], kSeparator) << path;
  EXPECT_EQ(path.substr(dir.size() + 1), FileName(path));
  EXPECT_NE(dir.back(), kSeparator);
  EXPECT_TRUE(fs::is_directory(fs::u8path(dir))) << dir;
}

TEST(Version, ProgramWithoutVersionHasNone) { EXPECT_EQ(ProgramFileVersion(), std::nullopt); }

TEST(Version, ProgramWithVersion) {
#if defined(_WIN32)
  // Texts in translation list order; the listed translation without one adds nothing, the
  // unlisted block is ignored.
  EXPECT_EQ(RunProgram(ProbePath(), "version"), "[1.2.3.42.0 \xE7\x89\x88\xE6\x9C\xAC]");
#else
  EXPECT_EQ(RunProgram(ProbePath(), "version"), "[7.6.5.4 \xE7\x89\x88]");
#endif
}

TEST(Version, FixedVersionOfAFile) {
  struct Row {
    std::string path;
    std::optional<std::string> version;
  } rows[] = {
#if defined(_WIN32)
    {ProbePath(), std::string("9.9.9.9")},
#else
    {ProbePath(), std::nullopt},  // an ELF file has no version resource
#endif
    {ProgramPath(), std::nullopt},  // this test program has none
    {ProgramDirectory() + kSeparator + "no-such-file.dll", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(FileVersionOf(row.path), row.version) << row.path;
}

TEST(Version, PathsOfProgramInFolderWithNonAsciiName) {
  // "版本 dir": the path must come back as UTF-8 whatever the system code page.
  const fs::path folder = fs::u8path(ProgramDirectory()) / fs::u8path("\xE7\x89\x88\xE6\x9C\xAC dir");
  std::error_code ec;
  fs::remove_all(folder, ec);
  ASSERT_TRUE(fs::create_directories(folder, ec)) << ec.message();
  const fs::path copy = folder / kProbe;
  ASSERT_TRUE(fs::copy_file(fs::u8path(ProbePath()), copy, ec)) << ec.message();
#if !defined(_WIN32)
  fs::permissions(copy, fs::perms::owner_exec, fs::perm_options::add, ec);
#endif
  const std::string copyPath = copy.u8string();
  const std::string folderPath = folder.u8string();
  EXPECT_EQ(RunProgram(copyPath, "path"), copyPath);
  EXPECT_EQ(RunProgram(copyPath, "dir"), folderPath);
  fs::remove_all(folder, ec);
}

}  // namespace
}  // namespace platform
