#include "devtool_binding.h"

#include <cstring>
#include <vector>

#include "platform/codepage.h"
#include "platform/dynlib.h"
#include "tw/log.h"
#include "vnsdtapi.h"

SdtOpenPortFn g_SDT_OpenPort = nullptr;
SdtClosePortFn g_SDT_ClosePort = nullptr;
SdtWriteAppMsgFn g_SDT_WriteAppMsg = nullptr;

namespace {

constexpr int kSuccess = VNSDTAPI_SUCCESS;
constexpr size_t kReceiveBufferSize = 102400;

}  // namespace

bool BindDevtool(const char* caller) {
  platform::DynLib lib = platform::LoadDynLib("devtool.dll");
  void* open = lib ? platform::DynSymbol(lib, "SDT_OpenPort") : nullptr;
  void* close = lib ? platform::DynSymbol(lib, "SDT_ClosePort") : nullptr;
  void* write = lib ? platform::DynSymbol(lib, "SDT_WriteAppMsg") : nullptr;
  if (open == nullptr || close == nullptr || write == nullptr) {
    if (lib) platform::FreeDynLib(lib);
    g_SDT_OpenPort = nullptr;
    g_SDT_ClosePort = nullptr;
    g_SDT_WriteAppMsg = nullptr;
    TW_LOG_AS(caller, tw::log::Severity::Error, "{}", platform::LogText("加载动态库devtool.dll失败!"));
    return false;
  }
  g_SDT_OpenPort = reinterpret_cast<SdtOpenPortFn>(open);
  g_SDT_ClosePort = reinterpret_cast<SdtClosePortFn>(close);
  g_SDT_WriteAppMsg = reinterpret_cast<SdtWriteAppMsgFn>(write);
  return true;
}

int DevtoolCardNumber(int port, int openFlag, char* text, size_t capacity, int* length) {
  if (length) *length = 0;
  if (openFlag == 1 && g_SDT_OpenPort != nullptr && g_SDT_OpenPort(port) == 1) return -1;
  if (g_SDT_WriteAppMsg == nullptr) return -1;
  unsigned char send[1] = {0x05};
  std::vector<unsigned char> receive(kReceiveBufferSize);
  unsigned int received = 0;
  const int r = g_SDT_WriteAppMsg(port, send, 1, receive.data(), &received, 0);
  if (openFlag == 1 && g_SDT_ClosePort != nullptr) g_SDT_ClosePort(port);
  LOG_IN(Debug, "SDT_WriteAppMsg:{}", r);
  if (r != kSuccess) return -1;
  if (received > receive.size()) received = static_cast<unsigned int>(receive.size());
  static const char kHex[] = "0123456789ABCDEF";
  size_t n = 0;
  for (unsigned int i = 0; i < received && text != nullptr && n + 2 < capacity; ++i) {
    text[n++] = kHex[receive[i] >> 4];
    text[n++] = kHex[receive[i] & 15];
  }
  if (text != nullptr && capacity > 0) text[n] = '\0';
  if (length) *length = static_cast<int>(received);
  return kSuccess;
}
