// The log folder holds personal data: only the service's own account may read it.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>

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
