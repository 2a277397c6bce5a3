#include "platform/files.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/codepage.h"

namespace platform {
namespace {

// The SID of the account this process runs under, as text ("S-1-5-18" for a service).
std::wstring ProcessUserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  std::wstring text;
  if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    LPWSTR sid = nullptr;
    if (::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
      text = sid;
      ::LocalFree(sid);
    }
  }
  ::CloseHandle(token);
  return text;
}

}  // namespace

bool CreatePrivateDirectory(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  if (!::CreateDirectoryW(wide.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  // Protected: nothing is inherited from the folder above; files inside inherit this list.
  std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  const std::wstring user = ProcessUserSid();
  if (!user.empty()) sddl += L"(A;OICI;FA;;;" + user + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  bool ok = ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present;
  if (ok) {
    ok = ::SetNamedSecurityInfoW(const_cast<LPWSTR>(wide.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 dacl, nullptr) == ERROR_SUCCESS;
  }
  ::LocalFree(descriptor);
  return ok;
}

uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace platform
