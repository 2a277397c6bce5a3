// Stand-in for the JL vendor's devtool library: raw commands to the reader. The card is always
// in the field unless a test says otherwise through SimDevtool_Control.
#include "devtool.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr int kNotForced = 0x7FFFFFFF;
constexpr int kOk = 144;
constexpr int kBadCommand = 0x21;
constexpr int kNoCard = 0x80;
constexpr unsigned char kReadCardNumber = 0x05;
// Same physical number as the SDTAPI stand-in's sample card.
constexpr unsigned char kCardNumber[8] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93};

struct State {
  int open = kNotForced;
  int write = kNotForced;
  int card = 1;
  std::map<std::string, int> calls;
};

std::mutex& Lock() {
  static std::mutex m;
  return m;
}

State& St() {
  static State s;
  return s;
}

State Enter(const char* function) {
  std::lock_guard<std::mutex> g(Lock());
  ++St().calls[function];
  return St();
}

}  // namespace

TW_EXPORT int TW_STDCALL SDT_OpenPort(int port) {
  (void)port;
  State s = Enter("SDT_OpenPort");
  return s.open != kNotForced ? s.open : 0;
}

TW_EXPORT int TW_STDCALL SDT_ClosePort(int port) {
  (void)port;
  Enter("SDT_ClosePort");
  return 0;
}

TW_EXPORT int TW_STDCALL SDT_WriteAppMsg(int port, unsigned char* send, int sendLength, unsigned char* receive,
                                         unsigned int* receiveLength, int flag) {
  (void)port;
  (void)flag;
  State s = Enter("SDT_WriteAppMsg");
  if (s.write != kNotForced && s.write != kOk) return s.write;
  if (s.write == kNotForced && !s.card) return kNoCard;
  if (!send || sendLength != 1 || send[0] != kReadCardNumber || !receive || !receiveLength) return kBadCommand;
  std::memcpy(receive, kCardNumber, sizeof kCardNumber);
  *receiveLength = sizeof kCardNumber;
  return kOk;
}

// Settings: open / write (forced results, 0x7FFFFFFF clears), card (1/0), reset.
TW_EXPORT void TW_STDCALL SimDevtool_Control(const char* setting, int value) {
  if (!setting) return;
  std::lock_guard<std::mutex> g(Lock());
  std::string name(setting);
  if (name == "reset") {
    St() = State();
  } else if (name == "open") {
    St().open = value;
  } else if (name == "write") {
    St().write = value;
  } else if (name == "card") {
    St().card = value;
  }
}

TW_EXPORT int TW_STDCALL SimDevtool_Calls(const char* function) {
  if (!function) return 0;
  std::lock_guard<std::mutex> g(Lock());
  auto it = St().calls.find(function);
  return it == St().calls.end() ? 0 : it->second;
}
