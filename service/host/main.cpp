// Entry point: the command line as UTF-8, then the host.
#include <string>
#include <vector>

#include "host.h"
#include "platform/codepage.h"

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(platform::Utf8FromWide(argv[i]));
  return TarnwickMain(args);
}
#else
int main(int argc, char** argv) { return TarnwickMain(std::vector<std::string>(argv, argv + argc)); }
#endif
