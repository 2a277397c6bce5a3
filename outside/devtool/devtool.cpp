// Stand-in for the JL vendor's devtool library: raw commands to the reader. The card is always
// in the field unless a test says otherwise through SimDevtool_Control.
#include "devtool.h"

#include <cstring>

#include "platform/export.h"
#include "standin.h"

namespace {

constexpr int kOk = 144;
constexpr int kBadCommand = 0x21;
constexpr int kNoCard = 0x80;
constexpr unsigned char kReadCardNumber = 0x05;
// Same physical number as the SDTAPI stand-in's sample card.
constexpr unsigned char kCardNumber[8] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93};

// Settings: card (1/0). Forced results: open (SDT_OpenPort), write (SDT_WriteAppMsg).
standin::Device& Device() {
  static standin::Device device({{"card", 1}}, {"open", "write"});
  return device;
}

}  // namespace

TW_EXPORT int TW_STDCALL SDT_OpenPort(int) { return Device().Enter("SDT_OpenPort", "open").value_or(0); }

TW_EXPORT int TW_STDCALL SDT_ClosePort(int) {
  Device().Enter("SDT_ClosePort");
  return 0;
}

TW_EXPORT int TW_STDCALL SDT_WriteAppMsg(int, unsigned char* send, int sendLength, unsigned char* receive,
                                         unsigned int* receiveLength, int) {
  const auto forced = Device().Enter("SDT_WriteAppMsg", "write");
  if (forced && *forced != kOk) return *forced;
  if (!forced && !Device().Setting("card")) return kNoCard;
  if (!send || sendLength != 1 || send[0] != kReadCardNumber || !receive || !receiveLength) return kBadCommand;
  std::memcpy(receive, kCardNumber, sizeof kCardNumber);
  *receiveLength = sizeof kCardNumber;
  return kOk;
}

TW_EXPORT void TW_STDCALL SimDevtool_Control(const char* setting, int value) { Device().Control(setting, value); }

TW_EXPORT int TW_STDCALL SimDevtool_Calls(const char* function) { return Device().Calls(function); }
