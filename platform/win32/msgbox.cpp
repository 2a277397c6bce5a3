#include "platform/msgbox.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/codepage.h"

namespace platform {

void ShowMessageBox(std::string_view utf8Text) {
  const char* mode = std::getenv("TARNWICK_MESSAGEBOX");
  if (mode != nullptr && std::strcmp(mode, "stderr") == 0) {
    // One write, so that concurrent messages do not interleave mid-line.
    std::string line(utf8Text);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return;
  }
  const std::wstring text = WideFromUtf8(utf8Text);
  MessageBoxExW(nullptr, text.c_str(), nullptr, MB_OK, 0);
}

}  // namespace platform
