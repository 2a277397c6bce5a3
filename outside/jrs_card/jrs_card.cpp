// Stand-in for the card terminal's card library: each call becomes one request block to the
// terminal through jrs_3G_usb, and the reply block its result (JRS_40QK_CardDll.h).
#include "JRS_40QK_CardDll.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "jrs_3G_usb.h"
#include "sim/card_terminal.h"
#include "sim/terminal_blocks.h"
#include "standin.h"

namespace {

namespace blocks = sim::blocks;
using Bytes = blocks::Bytes;

enum Result : short {
  kOk = 0,
  kNotOpen = -1,
  kNoTerminal = -2,
  kTransferFailed = -3,
  kBadReply = -4,
  kBadParameter = -5,
  kNoCard = -6,
  kNoRecord = -7,
  kUnknownCommand = -8,
  kTooMany = -9,
};

constexpr char kVersion[] = "JRS_40QK_CardDll 1.0.0 (Tarnwick stand-in)";
constexpr int kTransferSeconds = 5;
constexpr uint16_t kShortReply = 64;
constexpr size_t kDataTextBytes = 100000;  // what GetDataStrEx's callers provide
constexpr size_t kFingerprintPixels = sim::kFingerprintWidth * sim::kFingerprintHeight;

const char* const kFunctions[] = {"JRS_CARD_GetDllVer",     "JRS_CARD_CommOpen", "JRS_CARD_CommClose",
                                  "JRS_CARD_CommCommandEx", "JRS_CARD_CommRead", "JRS_CARD_CommWriteEx",
                                  "JRS_CARD_GetDataStrEx",  "JRS_CARD_DataRead", "JRS_CARD_CmdRead"};

standin::Device& Device() {
  static standin::Device device({}, {std::begin(kFunctions), std::end(kFunctions)});
  return device;
}

struct Library {
  std::mutex mutex;
  void* terminal = nullptr;
  bool open = false;
  uint8_t sequence = 0;
  std::string data;
  bool haveData = false;
};

Library& Lib() {
  static Library library;
  return library;
}

short FromStatus(uint8_t status) {
  switch (status) {
    case blocks::kOk:
      return kOk;
    case blocks::kNotOpen:
      return kNotOpen;
    case blocks::kNoCard:
      return kNoCard;
    case blocks::kBadParameter:
      return kBadParameter;
    case blocks::kNoRecord:
      return kNoRecord;
    case blocks::kUnknownCommand:
      return kUnknownCommand;
    case blocks::kReplyTooLong:
      return kTooMany;
    default:
      return kBadReply;
  }
}

// One request block out, one reply block of `capacity` bytes back. Called with the lock held.
short Exchange(Library& lib, uint8_t command, const Bytes& payload, uint16_t capacity, Bytes* answer = nullptr) {
  if (!lib.open) return kNotOpen;
  blocks::Request request;
  request.sequence = ++lib.sequence;
  request.command = command;
  request.capacity = capacity;
  request.payload = payload;
  Bytes block = blocks::EncodeRequest(request);
  if (block.empty()) return kBadParameter;
  Bytes reply(capacity, 0);
  reply[3] = command;  // names the reply the terminal is to send
  int expected = capacity;
  if (USBTransfer(lib.terminal, block.data(), static_cast<int>(block.size()), reply.data(), &expected,
                  kTransferSeconds) != 0) {
    return kTransferFailed;
  }
  const std::optional<blocks::Reply> decoded = blocks::DecodeReply(reply.data(), reply.size());
  if (!decoded || decoded->sequence != request.sequence || decoded->command != command) return kBadReply;
  if (decoded->status == blocks::kOk && answer != nullptr) *answer = decoded->payload;
  return FromStatus(decoded->status);
}

Bytes U16(uint16_t v) {
  Bytes b;
  blocks::PutU16(b, v);
  return b;
}

Bytes Text(const char* text) { return text != nullptr ? Bytes(text, text + std::strlen(text)) : Bytes(); }

std::string Hex(const Bytes& pixels) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex(pixels.size() * 2, '0');
  for (size_t i = 0; i < pixels.size(); ++i) {
    hex[2 * i] = kDigits[pixels[i] >> 4];
    hex[2 * i + 1] = kDigits[pixels[i] & 15];
  }
  return hex;
}

// A reply big enough for what the read asks: a picture, or the records at their longest.
uint16_t ReadCapacity(uint16_t type, uint16_t count) {
  if (type == sim::kFingerprintRecord) return blocks::kOverhead + kFingerprintPixels;
  const size_t records = count == 0 ? sim::kMaxRecords : std::min<size_t>(count, sim::kMaxRecords);
  return static_cast<uint16_t>(
      std::min<size_t>(blocks::kOverhead + records * (sim::kMaxRecordText + 1), blocks::kMaxBlock));
}

short Read(const char* function, uint8_t area, uint16_t type, uint16_t index, uint16_t count) {
  if (auto forced = Device().Enter(function, function)) return static_cast<short>(*forced);
  Library& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mutex);
  lib.data.clear();
  lib.haveData = false;
  Bytes payload = {area};
  for (uint16_t v : {type, index, count}) blocks::PutU16(payload, v);
  Bytes answer;
  const short r = Exchange(lib, blocks::kRead, payload, ReadCapacity(type, count), &answer);
  if (r != kOk) return r;
  if (type == sim::kFingerprintRecord) {
    if (answer.size() != kFingerprintPixels) return kBadReply;
    lib.data = Hex(answer);
  } else {
    lib.data.assign(answer.begin(), answer.end());
  }
  if (lib.data.size() >= kDataTextBytes) lib.data.resize(kDataTextBytes - 1);
  lib.haveData = true;
  return kOk;
}

}  // namespace

TW_EXPORT short TW_STDCALL JRS_CARD_GetDllVer(char* text) {
  if (auto forced = Device().Enter("JRS_CARD_GetDllVer", "JRS_CARD_GetDllVer")) return static_cast<short>(*forced);
  if (text != nullptr) std::memcpy(text, kVersion, sizeof kVersion);
  return 0;
}

TW_EXPORT short TW_STDCALL JRS_CARD_CommOpen(unsigned short cardPort, unsigned short devicePort) {
  if (auto forced = Device().Enter("JRS_CARD_CommOpen", "JRS_CARD_CommOpen")) return static_cast<short>(*forced);
  Library& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mutex);
  lib.data.clear();
  lib.haveData = false;
  if (!lib.open) {
    if (FindOpenUDev(&lib.terminal) != 1) return kNoTerminal;
    lib.open = true;
  }
  Bytes ports = U16(cardPort);
  blocks::PutU16(ports, devicePort);
  const short r = Exchange(lib, blocks::kOpen, ports, kShortReply);
  if (r != kOk) {
    CloseUDev(&lib.terminal);
    lib.open = false;
  }
  return r;
}

TW_EXPORT short TW_STDCALL JRS_CARD_CommClose() {
  if (auto forced = Device().Enter("JRS_CARD_CommClose", "JRS_CARD_CommClose")) return static_cast<short>(*forced);
  Library& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mutex);
  if (!lib.open) return kNotOpen;
  const short r = Exchange(lib, blocks::kClose, {}, kShortReply);
  CloseUDev(&lib.terminal);
  lib.open = false;
  lib.data.clear();
  lib.haveData = false;
  return r;
}

TW_EXPORT short TW_STDCALL JRS_CARD_CommCommandEx(unsigned short command, const char* data) {
  if (auto forced = Device().Enter("JRS_CARD_CommCommandEx", "JRS_CARD_CommCommandEx")) {
    return static_cast<short>(*forced);
  }
  Library& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mutex);
  Bytes payload = U16(command);
  const Bytes text = Text(data);
  payload.insert(payload.end(), text.begin(), text.end());
  return Exchange(lib, blocks::kCommand, payload, kShortReply);
}

TW_EXPORT short TW_STDCALL JRS_CARD_CommWriteEx(const char* data) {
  if (auto forced = Device().Enter("JRS_CARD_CommWriteEx", "JRS_CARD_CommWriteEx")) return static_cast<short>(*forced);
  Library& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mutex);
  return Exchange(lib, blocks::kWrite, Text(data), kShortReply);
}

TW_EXPORT short TW_STDCALL JRS_CARD_CommRead(unsigned short structType, unsigned short index, unsigned short count) {
  return Read("JRS_CARD_CommRead", blocks::kCardArea, structType, index, count);
}

TW_EXPORT short TW_STDCALL JRS_CARD_DataRead(unsigned short structType, unsigned short index, unsigned short count) {
  return Read("JRS_CARD_DataRead", blocks::kTerminalArea, structType, index, count);
}

TW_EXPORT short TW_STDCALL JRS_CARD_CmdRead(unsigned short structType, unsigned short index, unsigned short count) {
  return Read("JRS_CARD_CmdRead", blocks::kCommandArea, structType, index, count);
}

TW_EXPORT short TW_STDCALL JRS_CARD_GetDataStrEx(char* text) {
  const auto forced = Device().Enter("JRS_CARD_GetDataStrEx", "JRS_CARD_GetDataStrEx");
  Library& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mutex);
  if (text != nullptr) std::memcpy(text, lib.data.c_str(), lib.data.size() + 1);
  if (forced) return static_cast<short>(*forced);
  return text != nullptr && lib.haveData ? 1 : 0;
}

TW_EXPORT void TW_STDCALL SimJrs_Control(const char* setting, int value) { Device().Control(setting, value); }

TW_EXPORT int TW_STDCALL SimJrs_Calls(const char* function) { return Device().Calls(function); }
