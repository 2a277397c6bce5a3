#include "cardterminal_routes.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "JRS_40QK_CardDll.h"
#include "fingerprint_picture.h"
#include "http/json.h"
#include "http/reply_buffer.h"
#include "platform/codepage.h"
#include "tw/bmp.h"
#include "tw/log.h"

namespace {

constexpr size_t kNumberBytes = 20;
constexpr size_t kDataBytes = 45056;
constexpr size_t kVersionBytes = 256;
constexpr size_t kTextBytes = 100000;
constexpr char kFprFile[] = "./Log/Fpr.bmp";
// The answer to a "Data" the library cannot be given whole: the library's own code for a text
// the terminal cannot take.
constexpr int kDataRefused = -5;

// A numeric parameter: its text as read, and its value cut to 16 bits.
struct Number {
  char text[kNumberBytes] = {};
  unsigned short value = 0;
};

Number NumberParam(const mg_str* params, const char* name) {
  Number n;
  mg_get_http_var(params, name, n.text, sizeof n.text);
  n.value = static_cast<unsigned short>(std::atoi(n.text));
  return n;
}

// "Data" in its buffer, zero-terminated; nullopt when it does not fit or holds a NUL, since the
// library would write only the part before the cut and report success.
std::optional<std::vector<char>> DataParam(const mg_str* params) {
  // One byte more than the buffer tells a value that fills it from one that is longer.
  std::vector<char> data(kDataBytes + 1, 0);
  const int written = mg_get_http_var(params, "Data", data.data(), data.size());
  if (written >= static_cast<int>(kDataBytes) ||
      (written > 0 && std::strlen(data.data()) != static_cast<size_t>(written))) {
    LOG_IN(Error, "Data of {} bytes or with a NUL; refused", written);
    return std::nullopt;
  }
  return data;
}

// The library's text: what it wrote before the first zero, or the whole buffer less its last
// byte when it wrote no zero. Answers are UTF-8: bytes that are not become U+FFFD.
std::string LibraryText(std::vector<char>& buffer) {
  buffer.back() = '\0';
  return platform::ConvertText(buffer.data(), platform::CodePage::Utf8, platform::CodePage::Utf8);
}

void ReplyResult(mg_connection* c, ReplySender reply, int result) {
  reply(c, json::Object().Add("return", result).Text());
}

// The three record reads differ only in the call and the labels.
using ReadFunction = short(TW_STDCALL*)(unsigned short, unsigned short, unsigned short);
void ReadRecords(const mg_str* params, mg_connection* c, ReplySender reply, ReadFunction read, const char* prefix,
                 const char* resultLabel) {
  const Number type = NumberParam(params, "StructType");
  const Number index = NumberParam(params, "Index");
  const Number count = NumberParam(params, "Count");
  LOG_IN(Debug, "{} StructType:{}", prefix, type.text);
  LOG_IN(Debug, "{} Index:{}", prefix, index.text);
  LOG_IN(Debug, "{} Count:{}", prefix, count.text);
  const int result = read(type.value, index.value, count.value);
  LOG_IN(Debug, "{}{}", resultLabel, result);
  ReplyResult(c, reply, result);
}

// A call that takes the page's "Data": refused with kDataRefused before the library is called
// when the data cannot be given whole. The labels are the log's.
template <class Call>
void DataCall(const mg_str* params, mg_connection* c, ReplySender reply, const char* dataLabel, const char* resultLabel,
              Call call) {
  const std::optional<std::vector<char>> data = DataParam(params);
  if (!data) {
    ReplyResult(c, reply, kDataRefused);
    return;
  }
  LOG_IN(Debug, "{}{}", dataLabel, data->data());
  const int result = call(data->data());
  LOG_IN(Debug, "{}{}", resultLabel, result);
  ReplyResult(c, reply, result);
}

}  // namespace

bool handle_JRS_CARD_GetDllVer(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  std::vector<char> version(kVersionBytes, 0);
  JRS_CARD_GetDllVer(version.data());
  const std::string text = LibraryText(version);
  LOG_IN(Debug, "JRS_CARD_GetDllVer Version:{}", text);
  // Not JSON: the text goes out as the library wrote it.
  reply(c, text);
  return true;
}

bool handle_JRS_CARD_CommOpen(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const Number cardPort = NumberParam(params, "CardPort");
  const Number devicePort = NumberParam(params, "DevicePort");
  LOG_IN(Debug, "cardport:{} devicePort:{}", cardPort.value, devicePort.value);
  const int result = JRS_CARD_CommOpen(cardPort.value, devicePort.value);
  LOG_IN(Debug, "JRS_CARD_CommOpen return:{}", result);
  ReplyResult(c, reply, result);
  return true;
}

bool handle_JRS_CARD_CommClose(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const int result = JRS_CARD_CommClose();
  LOG_IN(Debug, "JRS_CARD_CommClose return:{}", result);
  ReplyResult(c, reply, result);
  return true;
}

bool handle_JRS_CARD_CommandEx(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const Number command = NumberParam(params, "Command");
  LOG_IN(Debug, "command:{}", command.value);
  DataCall(params, c, reply, "data:", "JRS_CARD_CommCommandEx return:", [&command](const char* data) {
    return JRS_CARD_CommCommandEx(command.value, data);
  });
  return true;
}

bool handle_JRS_CARD_CommRead(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  ReadRecords(params, c, reply, JRS_CARD_CommRead, "handle_JRS_CARD_CommRead", "JRS_CARD_CommRead return:");
  return true;
}

bool handle_JRS_CARD_CommWriteEx(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  DataCall(params, c, reply,
           "handle_JRS_CARD_CommWriteEx Data:", "handle_JRS_CARD_CommWriteEx return:", JRS_CARD_CommWriteEx);
  return true;
}

bool handle_JRS_CARD_GetDataStrEx(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  std::vector<char> text(kTextBytes, 0);
  const int result = JRS_CARD_GetDataStrEx(text.data());
  LOG_IN(Debug, "JRS_CARD_GetDataStrEx return:{}", result);
  // The text is escaped, so no character of it can break the answer; it is sent whole.
  const std::string answer =
      json::Join("{\"data\": ", json::Quoted(LibraryText(text)), ",\"return\":", result == 1 ? 0 : -1, "}");
  LOG_IN(Debug, "strBuffer:{}", answer);
  reply(c, answer);
  return true;
}

bool handle_JRS_CARD_DataRead(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  ReadRecords(params, c, reply, JRS_CARD_DataRead, "handle_JRS_CARD_DataRead", "JRS_CARD_DataRead return:");
  return true;
}

bool handle_JRS_CARD_CmdRead(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  ReadRecords(params, c, reply, JRS_CARD_CmdRead, "handle_JRS_CARD_CmdRead", "JRS_CARD_CmdRead return:");
  return true;
}

bool handle_JRS_CARD_GetFprImage(std::string, const mg_str*, mg_connection* c, ReplySender) {
  LOG_ROUTINE(Debug);
  std::vector<char> text(kTextBytes, 0);
  std::vector<unsigned char> pixels(kTextBytes, 0);
  JRS_CARD_GetDataStrEx(text.data());
  text.back() = '\0';
  HexToBytes(text.data(), pixels.data(), kFprHexDigits);
  unsigned char* file = nullptr;
  int size = 0;
  BuildGrayBmp(&file, pixels.data(), &size);
  const std::unique_ptr<unsigned char, decltype(&std::free)> owned(file, &std::free);
  // The picture replaces the previous one; a file that cannot be written does not change the
  // answer.
  if (file == nullptr || !tw::bmp::Save(kFprFile, std::vector<uint8_t>(file, file + size))) {
    LOG_IN(Error, "Fpr.bmp not written: {}", kFprFile);
  }
  const std::string base64 = Base64Encode(file, size);
  char* answer = SharedReplyBuffer();
  int length = std::snprintf(answer, kSharedReplyBytes, "{\"result\":\"data:image/bmp;base64,%s\"}", base64.c_str());
  // The picture's answer is 42007 bytes; the bound only keeps Content-Length true.
  length = std::max(0, std::min(length, static_cast<int>(kSharedReplyBytes) - 1));
  mg_printf(c, kReplyEnvelope, length, answer);
  return true;
}
