// Crash-safe replacement and whole-file reads; the log folder, which holds personal data, only
// the service's own account may read.
#include "platform/files.h"
#include "platform/folders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tw/testing.h"

#if defined(_WIN32)
#include <windows.h>

#include <aclapi.h>
#else
#include <sys/stat.h>
#endif

namespace {

TEST(PrivateDirectory, CreatedOrExistingFoldersAreRestricted) {
  tw::testing::WorkDirectory work("tw_private_dir", false);
  const std::filesystem::path fresh = work.path() / "Log";
  const std::filesystem::path existing = work.path() / "Existing";
  std::filesystem::create_directory(existing);
  for (const auto& p : {fresh, existing}) {
    SCOPED_TRACE(p.string());
    ASSERT_TRUE(platform::CreatePrivateDirectory(p.u8string()));
    ASSERT_TRUE(std::filesystem::is_directory(p));
#if defined(_WIN32)
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(p.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &dacl, nullptr, &sd),
              ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr);
    // Only SYSTEM, the Administrators and this account are allowed in.
    PSID system = nullptr, admins = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system));
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                           0, &admins));
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    unsigned char user[256];
    DWORD size = sizeof user;
    ASSERT_TRUE(::GetTokenInformation(token, TokenUser, user, size, &size));
    ::CloseHandle(token);
    const PSID self = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    ASSERT_GE(dacl->AceCount, 1);
    // Wine keeps no access lists on its folders; it shows one made from the Unix mode.
    if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
      ::FreeSid(system);
      ::FreeSid(admins);
      ::LocalFree(sd);
      continue;
    }
    for (WORD i = 0; i < dacl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* ace = nullptr;
      ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
      const PSID sid = &ace->SidStart;
      EXPECT_TRUE(::EqualSid(sid, system) || ::EqualSid(sid, admins) || ::EqualSid(sid, self)) << "ACE " << i;
    }
    ::FreeSid(system);
    ::FreeSid(admins);
    ::LocalFree(sd);
#else
    struct stat st = {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
  }
  EXPECT_FALSE(platform::CreatePrivateDirectory((work.path() / "no" / "such" / "parent").u8string()));
}

}  // namespace

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

  const fs::path data = fs::u8path(MachineDataDirectory());
  EXPECT_TRUE(data.is_absolute()) << data;
}

}  // namespace
}  // namespace platform
