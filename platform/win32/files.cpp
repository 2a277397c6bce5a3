#include "platform/files.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/codepage.h"

namespace platform {
namespace {

HANDLE AsHandle(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

bool WriteAll(HANDLE h, const char* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  const std::filesystem::path folder(WideFromUtf8(path));
  std::filesystem::create_directories(folder, ec);
  return std::filesystem::is_directory(folder, ec);
}

ReadResult ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes) {
  // Others may read, replace or delete the file meanwhile, as they may on Linux.
  const HANDLE h =
      CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::Missing : ReadResult::Failed;
  }
  LARGE_INTEGER size{};
  ReadResult result = ReadResult::Ok;
  std::string data;
  if (!GetFileSizeEx(h, &size) || size.QuadPart < 0) {
    result = ReadResult::Failed;
  } else if (static_cast<unsigned long long>(size.QuadPart) > maxBytes) {
    result = ReadResult::TooLarge;
  } else {
    data.reserve(static_cast<size_t>(size.QuadPart));
    for (;;) {
      char chunk[16384];
      DWORD got = 0;
      if (!ReadFile(h, chunk, sizeof chunk, &got, nullptr)) {
        result = ReadResult::Failed;
        break;
      }
      if (got == 0) break;
      if (data.size() + got > maxBytes) {
        result = ReadResult::TooLarge;
        break;
      }
      data.append(chunk, got);
    }
  }
  CloseHandle(h);
  if (result == ReadResult::Ok) bytes->swap(data);
  return result;
}

ReplacementFile::ReplacementFile(const std::string& path) : path_(path), temporary_(path + ".tmp") {
  const HANDLE h = CreateFileW(WideFromUtf8(temporary_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  file_ = reinterpret_cast<std::intptr_t>(h);
  ok_ = h != INVALID_HANDLE_VALUE;
}

ReplacementFile::~ReplacementFile() {
  if (!committed_) Discard();
}

bool ReplacementFile::Write(const void* data, size_t size) {
  if (ok_ && !WriteAll(AsHandle(file_), static_cast<const char*>(data), size)) Discard();
  return ok_;
}

bool ReplacementFile::Commit() {
  if (!ok_ || committed_) return ok_ && committed_;
  const HANDLE h = AsHandle(file_);
  file_ = -1;
  const bool flushed = FlushFileBuffers(h) != 0;
  // Write-through: the rename reaches the disk before the call returns.
  if (!CloseHandle(h) || !flushed ||
      !MoveFileExW(WideFromUtf8(temporary_).c_str(), WideFromUtf8(path_).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Discard();
    return false;
  }
  committed_ = true;
  return true;
}

void ReplacementFile::Discard() {
  if (file_ != -1) CloseHandle(AsHandle(file_));
  file_ = -1;
  DeleteFileW(WideFromUtf8(temporary_).c_str());
  ok_ = false;
}

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
