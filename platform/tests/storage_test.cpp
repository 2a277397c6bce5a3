#include "platform/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tw/testing.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class Storage : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return (work_.path() / fs::u8path(name)).u8string(); }
  static bool Replace(const std::string& path, const std::string& bytes) {
    ReplacementFile file(path);
    return file.Write(bytes.data(), bytes.size()) && file.Commit();
  }
  static std::string Read(const std::string& path, size_t maxBytes = 1 << 20) {
    std::string bytes = "untouched";
    const ReadResult r = ReadWholeFile(path, maxBytes, &bytes);
    return r == ReadResult::Ok ? bytes : "result " + std::to_string(static_cast<int>(r));
  }

  tw::testing::WorkDirectory work_{"tw_storage"};
};

TEST_F(Storage, ReplacesWholeFilesAndReadsThemBack) {
  // A non-ASCII name, as a key's folder may sit under a user's own name.
  const std::string path = Path("\xE9\x92\xA5\xE5\x8C\x99.key");
  EXPECT_EQ(Read(path), "result 1");  // Missing
  ASSERT_TRUE(Replace(path, std::string("first\0version", 13)));
  EXPECT_EQ(Read(path), std::string("first\0version", 13));
  ASSERT_TRUE(Replace(path, "2"));
  EXPECT_EQ(Read(path), "2");
  ASSERT_TRUE(Replace(path, ""));
  EXPECT_EQ(Read(path), "");
  EXPECT_FALSE(fs::exists(fs::u8path(path + ".tmp")));
}

TEST_F(Storage, AnUncommittedReplacementLeavesTheOldVersion) {
  const std::string path = Path("key");
  ASSERT_TRUE(Replace(path, "old"));
  {
    ReplacementFile file(path);
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(file.Write("new, half", 9));
    EXPECT_EQ(Read(path), "old");  // nothing shows before the commit
  }
  EXPECT_EQ(Read(path), "old");
  EXPECT_FALSE(fs::exists(fs::u8path(path + ".tmp")));

  // What a process that died mid-write leaves behind does not disturb the next replacement.
  {
    std::string junk(100000, 'x');
    ReplacementFile leftover(path + ".tmp");  // a plain file named like the temporary one
    ASSERT_TRUE(leftover.Write(junk.data(), junk.size()) && leftover.Commit());
  }
  EXPECT_EQ(Read(path), "old");
  ASSERT_TRUE(Replace(path, "new"));
  EXPECT_EQ(Read(path), "new");
}

TEST_F(Storage, LimitsAndFailures) {
  const std::string path = Path("big");
  ASSERT_TRUE(Replace(path, std::string(5000, 'b')));
  EXPECT_EQ(Read(path, 5000), std::string(5000, 'b'));
  EXPECT_EQ(Read(path, 4999), "result 2");  // TooLarge, output untouched
  EXPECT_EQ(Read(Path("")), "result 3");    // a folder is not a file

  ReplacementFile nowhere(Path("no/such/folder/key"));
  EXPECT_FALSE(nowhere.ok());
  EXPECT_FALSE(nowhere.Write("x", 1));
  EXPECT_FALSE(nowhere.Commit());
}

TEST_F(Storage, FoldersAreMadeWithTheirParents) {
  const std::string folder = Path("a/b/c");
  EXPECT_TRUE(MakeFolders(folder));
  EXPECT_TRUE(MakeFolders(folder));  // already there
  EXPECT_TRUE(Replace(folder + "/key", "k"));
  EXPECT_FALSE(MakeFolders(""));
  EXPECT_FALSE(MakeFolders(folder + "/key"));  // a file is in the way

  const fs::path data = fs::u8path(DataFolder());
  EXPECT_TRUE(data.is_absolute()) << data;
}

}  // namespace
}  // namespace platform
