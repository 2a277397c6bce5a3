// Reports what the version unit sees from inside a program of its own, for version_test.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/folders.h"
#include "platform/version.h"

#if !defined(_WIN32)
extern "C" const char tw_embedded_file_version[] = "7.6.5.4 \xE7\x89\x88";  // "7.6.5.4 版"
#endif

int main(int argc, char** argv) {
  std::string out;
  if (argc > 1 && std::strcmp(argv[1], "path") == 0) {
    out = platform::ProgramPath();
  } else if (argc > 1 && std::strcmp(argv[1], "dir") == 0) {
    out = platform::ProgramDirectory();
  } else {
    const auto version = platform::ProgramFileVersion();
    out = version ? "[" + *version + "]" : "<none>";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
