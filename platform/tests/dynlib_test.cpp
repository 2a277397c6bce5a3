#include "platform/dynlib.h"
#include "platform/folders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace platform {
namespace {

// Built beside the test program by platform/tests/CMakeLists.txt.
constexpr const char* kTestLibrary = "tw_dynlib_testee.dll";

TEST(DynLib, MissingLibraryFails) {
  DynLib lib = LoadDynLib("doesnotexist.dll");
  EXPECT_EQ(lib, nullptr);
  EXPECT_NE(DynLibError().find("doesnotexist"), std::string::npos) << DynLibError();
}

TEST(DynLib, NoNameFails) {
  EXPECT_EQ(LoadDynLib(nullptr), nullptr);
  EXPECT_FALSE(DynLibError().empty());
  EXPECT_EQ(LoadDynLib(""), nullptr);
  EXPECT_FALSE(DynLibError().empty());
}

TEST(DynLib, LibraryBesideProgramLoadsAndResolves) {
  DynLib lib = LoadDynLib(kTestLibrary);
  ASSERT_NE(lib, nullptr) << DynLibError();
  using Answer = int (*)(int);
  auto answer = reinterpret_cast<Answer>(DynSymbol(lib, "tw_dynlib_testee_answer"));
  ASSERT_NE(answer, nullptr) << DynLibError();
  EXPECT_EQ(answer(2), 44);

  EXPECT_EQ(DynSymbol(lib, "tw_dynlib_testee_missing"), nullptr);
  EXPECT_NE(DynLibError().find("tw_dynlib_testee_missing"), std::string::npos) << DynLibError();
  FreeDynLib(lib);
}

// TW_LIBRARY_HOOKS: the load hook gets the library's own folder, the unload hook runs when the
// last handle goes.
bool g_testeeUnloaded = false;
void NoteUnload() { g_testeeUnloaded = true; }

TEST(DynLib, LibraryHooksRunAtLoadAndUnload) {
  DynLib lib = LoadDynLib(kTestLibrary);
  ASSERT_NE(lib, nullptr) << DynLibError();
  const auto loadedFrom = reinterpret_cast<const char* (*)()>(DynSymbol(lib, "tw_dynlib_testee_loaded_from"));
  const auto onUnload = reinterpret_cast<void (*)(void (*)())>(DynSymbol(lib, "tw_dynlib_testee_on_unload"));
  ASSERT_NE(loadedFrom, nullptr);
  ASSERT_NE(onUnload, nullptr);
  ASSERT_FALSE(std::string(loadedFrom()).empty());
  EXPECT_TRUE(
      std::filesystem::equivalent(std::filesystem::u8path(loadedFrom()), std::filesystem::u8path(ProgramDirectory())))
      << loadedFrom();
  g_testeeUnloaded = false;
  onUnload(NoteUnload);
  FreeDynLib(lib);
  EXPECT_TRUE(g_testeeUnloaded);
}

TEST(DynLib, LoadingTwiceGivesUsableHandles) {
  DynLib first = LoadDynLib(kTestLibrary);
  DynLib second = LoadDynLib(kTestLibrary);
  ASSERT_NE(first, nullptr) << DynLibError();
  ASSERT_NE(second, nullptr) << DynLibError();
  FreeDynLib(first);
  // The library stays loaded while one handle is open.
  using Answer = int (*)(int);
  auto answer = reinterpret_cast<Answer>(DynSymbol(second, "tw_dynlib_testee_answer"));
  ASSERT_NE(answer, nullptr) << DynLibError();
  EXPECT_EQ(answer(0), 42);
  FreeDynLib(second);
}

TEST(DynLib, NullHandles) {
  EXPECT_EQ(DynSymbol(nullptr, "anything"), nullptr);
  EXPECT_FALSE(DynLibError().empty());
  FreeDynLib(nullptr);
}

#if defined(_WIN32)
TEST(DynLib, SystemLibrary) {
  DynLib lib = LoadDynLib("kernel32.dll");
  ASSERT_NE(lib, nullptr) << DynLibError();
  EXPECT_NE(DynSymbol(lib, "GetTickCount"), nullptr) << DynLibError();
  EXPECT_EQ(DynSymbol(lib, "NoSuchFunctionAnywhere"), nullptr);
  EXPECT_NE(DynLibError().find("NoSuchFunctionAnywhere"), std::string::npos) << DynLibError();
  FreeDynLib(lib);
}

TEST(DynLib, FileNameIsUnchanged) {
  EXPECT_EQ(DynLibFileName("devtool.dll"), "devtool.dll");
  EXPECT_EQ(DynLibFileName("DevTool.DLL"), "DevTool.DLL");
}
#else
TEST(DynLib, FileNameMapsToSharedObject) {
  EXPECT_EQ(DynLibFileName("devtool.dll"), "libdevtool.so");
  EXPECT_EQ(DynLibFileName("DevTool.DLL"), "libDevTool.so");
  EXPECT_EQ(DynLibFileName("sdtapi"), "libsdtapi.so");
  EXPECT_EQ(DynLibFileName("plugins/devtool.dll"), "plugins/libdevtool.so");
  EXPECT_EQ(DynLibFileName("a.dll.dll"), "liba.dll.so");
}

TEST(DynLib, FailureOfLibraryBesideProgramIsReported) {
  const std::string path = ProgramDirectory() + "/libtw_dynlib_broken.so";
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << "not a shared object";
  }
  ASSERT_TRUE(std::ifstream(path).good()) << path;
  EXPECT_EQ(LoadDynLib("tw_dynlib_broken.dll"), nullptr);
  const std::string error = DynLibError();
  std::remove(path.c_str());
  EXPECT_NE(error.find(path), std::string::npos) << error;
}
#endif

}  // namespace
}  // namespace platform
