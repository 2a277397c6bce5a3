#include "platform/atomic_file.h"

#include <windows.h>

#include "platform/codepage.h"

namespace platform {

bool WriteFileAtomically(const std::string& path, const std::string& data) {
  const std::wstring target = WideFromUtf8(path);
  const std::wstring temporary =
      target + L".new" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetCurrentThreadId());
  HANDLE file =
      CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                  written == data.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (ok && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(temporary.c_str());
  return false;
}

std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxBytes) {
  HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::string> out;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && static_cast<unsigned long long>(size.QuadPart) <= maxBytes) {
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (data.empty() ||
        (ReadFile(file, &data[0], static_cast<DWORD>(data.size()), &read, nullptr) && read == data.size())) {
      out = std::move(data);
    }
  }
  CloseHandle(file);
  return out;
}

}  // namespace platform
