#include "platform/msgbox.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/codepage.h"

namespace platform {

namespace {

// One write, so that concurrent messages do not interleave mid-line.
bool ToStandardError(std::string line) {
  const char* mode = std::getenv("TARNWICK_MESSAGEBOX");
  if (mode == nullptr || std::strcmp(mode, "stderr") != 0) return false;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return true;
}

}  // namespace

void ShowMessageBox(std::string_view utf8Text) {
  if (ToStandardError(std::string(utf8Text))) return;
  const std::wstring text = WideFromUtf8(utf8Text);
  MessageBoxExW(nullptr, text.c_str(), nullptr, MB_OK, 0);
}

void ShowMessageBox(std::string_view utf8Text, std::string_view utf8Caption, MessageBoxIcon icon) {
  if (ToStandardError(std::string(utf8Caption) + ": " + std::string(utf8Text))) return;
  const std::wstring text = WideFromUtf8(utf8Text);
  const std::wstring caption = WideFromUtf8(utf8Caption);
  MessageBoxExW(nullptr, text.c_str(), caption.c_str(), MB_OK | (icon == MessageBoxIcon::Error ? MB_ICONERROR : 0), 0);
}

}  // namespace platform
