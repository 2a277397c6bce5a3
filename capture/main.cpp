// Entry of the capture program: a Windows GUI program (no console), a plain program on Linux.
#include "processor.h"

#if defined(_WIN32)
extern "C" int __stdcall wWinMain(void* /*instance*/, void* /*previous*/, wchar_t* /*commandLine*/, int /*show*/) {
  return capture::Main();
}
#else
int main() { return capture::Main(); }
#endif
