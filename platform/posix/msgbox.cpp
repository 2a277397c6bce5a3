#include "platform/msgbox.h"

#include <cstdio>
#include <string>

namespace platform {

void ShowMessageBox(std::string_view utf8Text) {
  // One write, so that concurrent messages do not interleave mid-line.
  std::string line(utf8Text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void ShowMessageBox(std::string_view utf8Text, std::string_view utf8Caption, MessageBoxIcon) {
  std::string line(utf8Caption);
  line += ": ";
  line += utf8Text;
  ShowMessageBox(line);
}

}  // namespace platform
