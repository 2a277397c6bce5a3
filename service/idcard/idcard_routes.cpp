#include "idcard_routes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "host/host.h"
#include "http/local_routes.h"
#include "id_card_text.h"
#include "platform/codepage.h"
#include "sdtapi.h"
#include "tw/log.h"
#include "vnsdtapi.h"

bool UseSdtapiReader = false;

namespace {

constexpr int kSuccess = 144;
constexpr int kFindSuccess = 159;
constexpr size_t kPhotoPathSize = 100;
constexpr int kBmpCapacity = 61440;

int IntParam(const mg_str* params, const char* name) {
  char value[20] = {0};
  mg_get_http_var(params, name, value, sizeof value);
  return std::atoi(value);
}

std::string Format(const char* fmt, int value) {
  char text[512];
  std::snprintf(text, sizeof text, fmt, value);
  return text;
}

// Error answer of the read route: a blank after the comma, the message in UTF-8.
std::string ErrorAnswer(int code, const char* info) {
  return "{\"return\":" + std::to_string(code) + ", \"info\":\"" + info + "\"}";
}

std::string Hex(const unsigned char* data, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(kHex[data[i] >> 4]);
    s.push_back(kHex[data[i] & 15]);
  }
  return s;
}

struct Fields {
  std::string name, sex, address, birthYear, birthMon, birthDay, idNo, police, validateBegin, validateEnd;
};

Fields FromCardText(const IdCardText& t) {
  return {t.Name(),     t.Sex(),  t.Address(), t.BirthYear(),     t.BirthMon(),
          t.BirthDay(), t.IdNo(), t.Police(),  t.ValidateBegin(), t.ValidateEnd()};
}

// The ten fields as JSON members; values are escaped so that no card text can break the answer.
std::string Members(const Fields& f) {
  const std::pair<const char*, const std::string*> members[] = {{"name", &f.name},
                                                                {"sex", &f.sex},
                                                                {"address", &f.address},
                                                                {"birthYear", &f.birthYear},
                                                                {"birthMon", &f.birthMon},
                                                                {"birthDay", &f.birthDay},
                                                                {"idNo", &f.idNo},
                                                                {"police", &f.police},
                                                                {"validateBegin", &f.validateBegin},
                                                                {"validateEnd", &f.validateEnd}};
  std::string s;
  for (const auto& m : members) {
    if (!s.empty()) s += ",";
    s += std::string("\"") + m.first + "\":\"" + JsonEscape(*m.second) + "\"";
  }
  return s;
}

std::string TextAnswer(const Fields& f, int result) {
  return "{" + Members(f) + ",\"return\":\"" + std::to_string(result) + "\"}";
}

std::string PhotoAnswer(const std::string& base64) { return "{\"result\":\"data:image/bmp;base64," + base64 + "\"}"; }

std::string CombinedAnswer(const std::string& photoBase64, const Fields& f, int result, bool withFingerprint,
                           const std::string& fingerprintBase64, const std::string& cardNo) {
  std::string s = "{\"photo\":\"data:image/bmp;base64," + photoBase64 + "\",\"data\":{" + Members(f) +
                  "},\"return\":\"" + std::to_string(result) + "\"";
  if (withFingerprint) s += ",\"fp\":\"" + fingerprintBase64 + "\"";
  s += ",\"cardNo\":\"" + JsonEscape(cardNo) + "\"}";
  return s;
}

std::string AnswerFor(int readType, const std::vector<unsigned char>& bmp, const Fields& f, int result,
                      const std::vector<uint8_t>& fingerprint, const std::string& cardNo) {
  if (readType == 0) return TextAnswer(f, result);
  const std::string photo = Base64Encode(bmp.data(), static_cast<int>(bmp.size()));
  if (readType == 1) return PhotoAnswer(photo);
  const bool withFingerprint = readType != 2;
  const std::string fp =
      withFingerprint ? Base64Encode(fingerprint.data(), static_cast<int>(fingerprint.size())) : std::string();
  return CombinedAnswer(photo, f, result, withFingerprint, fp, cardNo);
}

bool IsFileNameCharacter(char16_t c) {
  return c >= 0x20 && std::strchr("\\/:*?\"<>|", c < 0x80 ? static_cast<char>(c) : 'a') == nullptr;
}

// A text field of the second family's record: bytes [first, last] up to the first zero, from
// the ANSI code page to UTF-8.
std::string JlField(const unsigned char* record, size_t first, size_t last) {
  size_t n = 0;
  while (first + n <= last && record[first + n] != 0) ++n;
  return platform::ConvertText(std::string(reinterpret_cast<const char*>(record + first), n), platform::CodePage::Ansi,
                               platform::CodePage::Utf8);
}

}  // namespace

std::string PhotoPath(const std::u16string& name) {
  const std::string prefix = "Log/Photo/";
  const std::string suffix = ".bmp";
  const size_t budget = kPhotoPathSize - 1 - prefix.size() - suffix.size();
  std::string file;
  for (size_t i = 0; i < name.size(); ++i) {
    std::u16string one(1, name[i]);
    if (name[i] >= 0xD800 && name[i] <= 0xDBFF && i + 1 < name.size()) one.push_back(name[++i]);
    std::string ansi = IsFileNameCharacter(one[0]) ? platform::FromUtf16(one, platform::CodePage::Ansi) : "_";
    // A character the code page cannot hold comes back as "?", which no file name may contain.
    for (char& ch : ansi) {
      if (ch == '?') ch = '_';
    }
    if (file.size() + ansi.size() > budget) break;
    file += ansi;
  }
  if (file.empty() || file == "." || file == "..") file = "_" + file;
  return prefix + file + suffix;
}

int DevtoolCardNumber(int port, int openFlag, char* text, size_t capacity, int* length) {
  if (length) *length = 0;
  if (openFlag == 1 && g_SDT_OpenPort != nullptr && g_SDT_OpenPort(port) == 1) return -1;
  if (g_SDT_WriteAppMsg == nullptr) return -1;
  unsigned char send[1] = {0x05};
  std::vector<unsigned char> receive(102400);
  unsigned int received = 0;
  const int r = g_SDT_WriteAppMsg(port, send, 1, receive.data(), &received, 0);
  if (openFlag == 1 && g_SDT_ClosePort != nullptr) g_SDT_ClosePort(port);
  LOG_DEBUG("SDT_WriteAppMsg:{}", r);
  if (r != kSuccess) return -1;
  if (received > receive.size()) received = static_cast<unsigned int>(receive.size());
  const std::string hex = Hex(receive.data(), received);
  if (text != nullptr && capacity > 0) {
    const size_t n = hex.size() < capacity - 1 ? hex.size() : capacity - 1;
    std::memcpy(text, hex.data(), n);
    text[n] = '\0';
  }
  if (length) *length = static_cast<int>(received);
  return kSuccess;
}

bool handle_HID_OpenPort(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_DEBUG("Enter!");
  IntParam(params, "Port");
  HID_SetTransType(1);
  const int jl = GetHIDCount();
  const int own = HID_GetCount();
  LOG_DEBUG("GetHIDCount:{}", jl);
  LOG_DEBUG("HID_GetCount:{}", own);
  UseSdtapiReader = own == 0;
  reply(c, Format("{\"return\":%d}", 0));
  LOG_DEBUG("Exit!");
  return true;
}

bool handle_HID_ClosePort(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_DEBUG("Enter!");
  const int port = IntParam(params, "Port");
  int result;
  if (UseSdtapiReader) {
    result = CloseComm();
    LOG_DEBUG("CloseComm:{}", result);
    if (result == 1) result = kSuccess;
  } else {
    result = HID_ClosePort(port);
    LOG_DEBUG("HID_ClosePort:{}", result);
  }
  reply(c, Format("{\"return\":%d}", result));
  LOG_DEBUG("Exit!");
  return true;
}

bool handle_HID_GetCardNo(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_DEBUG("Enter!");
  const int port = IntParam(params, "Port");
  // Room for the longest number the library can deliver (512 bytes as 1024 digits).
  std::vector<char> buffer(1025, 0);
  int length = 0;
  int result;
  if (UseSdtapiReader) {
    Routon_ShutDownAntenna();
    const int auth = Authenticate();
    LOG_DEBUG("Authenticate:{}", auth);
    if (auth == 1) {
      result = ReadIINSNDN(buffer.data());
      buffer.back() = '\0';
      LOG_DEBUG("ReadIINSNDN:{}", result);
      if (result == 1) result = kSuccess;
    } else {
      result = DevtoolCardNumber(port, 1, buffer.data(), buffer.size(), &length);
      LOG_DEBUG("DevtoolCardNumber:{}", result);
    }
  } else {
    result = HID_ReadCardNo(port, buffer.data(), &length, 1);
    LOG_DEBUG("HID_ReadCardNo:{}", result);
    buffer[result == kSuccess && length > 0 && length <= 512 ? static_cast<size_t>(length) * 2 : 0] = '\0';
  }
  reply(c, "{\"cardNo\":\"" + JsonEscape(buffer.data()) + "\",\"return\":" + std::to_string(result) + "}");
  LOG_DEBUG("Exit!");
  return true;
}

bool handle_HID_GetSAMID(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_DEBUG("Enter!");
  const int port = IntParam(params, "Port");
  char samId[64] = {0};
  int result;
  if (UseSdtapiReader) {
    result = Authenticate();
    LOG_DEBUG("Authenticate:{}", result);
    if (result != 1) {
      unsigned char info[8] = {0};
      LOG_DEBUG("SDT_StartFindIDCard:{}", SDT_StartFindIDCard(port, info, 0));
      LOG_DEBUG("SDT_SelectIDCard:{}", SDT_SelectIDCard(port, info, 0));
    }
    result = GetSAMIDToStr(samId);
    samId[sizeof samId - 1] = '\0';
    LOG_DEBUG("GetSAMIDToStr:{}", result);
    if (result == 1) result = kSuccess;
  } else {
    result = HID_GetSAMStatus(port, 1);
    LOG_DEBUG("HID_GetSAMStatus:{}", result);
    if (result == kSuccess) {
      result = HID_GetSAMIDToStr(port, samId, 1);
      LOG_DEBUG("HID_GetSAMIDToStr:{}", result);
    }
  }
  reply(c, "{ \"szSAMID\": \"" + JsonEscape(samId) + "\",\"return\":" + std::to_string(result) + "}");
  LOG_DEBUG("Exit!");
  return true;
}

bool handle_VN_HID_ReadBaseMsg(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_DEBUG("Enter!");
  const int port = IntParam(params, "Port");
  const int readType = IntParam(params, "ReadType");
  // The port is closed on every way out.
  auto fail = [&](int code, const char* info) {
    LOG_ERROR("{}:{}", platform::LogText(info), code);
    reply(c, ErrorAnswer(code, info));
    HID_ClosePort(port);
    LOG_DEBUG("Exit!");
    return false;
  };

  int r = HID_OpenPort(port);
  LOG_DEBUG("HID_OpenPort:{}", r);
  if (r != kSuccess) return fail(r, "打开读卡设备失败");
  unsigned int find = 0;
  r = HID_StartFindIDCard(port, &find, 1);
  LOG_DEBUG("HID_StartFindIDCard:{}", r);
  if (r != kFindSuccess) return fail(r, "没有发现卡或卡停留时间太短");
  unsigned char info[8];
  r = HID_SelectIDCard(port, info, 1);
  LOG_DEBUG("HID_SelectIDCard:{}", r);
  if (r != kSuccess) return fail(r, "选卡失败");
  std::vector<char> cardNumber(1025, 0);
  int cardLength = 0;
  r = HID_ReadCardNo(port, cardNumber.data(), &cardLength, 1);
  LOG_DEBUG("HID_ReadCardNo:{}", r);
  if (r != kSuccess) return fail(r, "读取物理卡号失败！");
  const std::string cardNo(cardNumber.data(),
                           static_cast<size_t>(cardLength > 0 && cardLength <= 512 ? cardLength * 2 : 0));

  unsigned char text[256] = {}, photo[1024] = {}, fingerprint[1024] = {};
  int textLength = 0, photoLength = 0, fingerprintLength = 0;
  if (readType >= 0 && readType <= 2) {
    r = HID_ReadBaseMsg(port, text, &textLength, photo, &photoLength, 1);
    LOG_DEBUG("HID_ReadBaseMsg:{}", r);
    if (r != kSuccess) return fail(r, "读卡失败");
  } else {
    r = HID_ReadBaseFPMsg(port, text, &textLength, photo, &photoLength, fingerprint, &fingerprintLength, 1);
    LOG_DEBUG("HID_ReadBaseFPMsg:{}", r);
    if (r != kSuccess) return fail(r, "带指纹读卡失败");
    CardText().SetFingerprint(fingerprint, static_cast<size_t>(fingerprintLength));
  }
  CardText().Load(text, static_cast<size_t>(textLength));

  unsigned char record[300];
  r = DecodeWZData(text, static_cast<unsigned>(textLength), record);
  LOG_DEBUG("DecodeWZData:{}", r);
  if (r != 1) return fail(r, "照片处理失败");
  const std::string path = PhotoPath(CardText().NameUtf16());
  std::vector<unsigned char> bmp(kBmpCapacity);
  int bmpLength = kBmpCapacity;
  r = DecodeWltData(photo, 1, path.c_str(), bmp.data(), &bmpLength);
  LOG_DEBUG("DecodeWltData:{}", r);
  if (r != 1) return fail(r, "照片处理失败");
  bmp.resize(static_cast<size_t>(bmpLength));

  const std::vector<uint8_t> noFingerprint;
  reply(c, AnswerFor(readType, bmp, FromCardText(CardText()), kSuccess,
                     readType >= 0 && readType <= 2 ? noFingerprint : CardText().Fingerprint(), cardNo));
  HID_ClosePort(port);
  LOG_DEBUG("Exit!");
  return true;
}

bool handle_JL_HID_ReadBaseMsg(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_DEBUG("Enter!");
  const int port = IntParam(params, "Port");
  const int readType = IntParam(params, "ReadType");
  int r = InitComm(port);
  LOG_DEBUG("InitComm:{}", r);
  if (r != 1) {
    reply(c, ErrorAnswer(r, "打开读卡器失败"));
    return false;
  }
  const bool fingerprintDevice = IsFingerPrintDevice() == 1;
  // After an answer has gone out a failing close can only be logged: a second answer on the
  // same request would corrupt the connection.
  auto close = [] {
    const int closed = CloseComm();
    if (closed != 1) LOG_ERROR("{}:{}", platform::LogText("关闭读卡器失败！"), closed);
  };
  r = Authenticate();
  LOG_DEBUG("Authenticate:{}", r);
  if (r != 1) {
    close();
    reply(c, ErrorAnswer(r, "没有发现卡或卡停留时间太短"));
    return false;
  }
  std::vector<char> cardNumber(1025, 0);
  int cardLength = 0;
  if (DevtoolCardNumber(port, 1, cardNumber.data(), cardNumber.size(), &cardLength) != kSuccess) {
    ReadIINSNDN(cardNumber.data());
    cardNumber.back() = '\0';
  }
  std::vector<unsigned char> record(1024, 0), fingerprint(1024, 0);
  int fingerprintLength = 0;
  if (fingerprintDevice) {
    int value = 0;
    r = ReadBaseFPMsg(record.data(), &value, fingerprint.data(), &fingerprintLength);
    LOG_DEBUG("ReadBaseFPMsg:{}", r);
  } else {
    r = ReadBaseMsg(record.data(), 0);
    LOG_DEBUG("ReadBaseMsg:{}", r);
  }
  if (r <= 0) {
    close();
    reply(c, ErrorAnswer(r, "二代证读卡异常"));
    return false;
  }
  if (fingerprintLength < 0 || fingerprintLength > 1024) fingerprintLength = 0;
  const unsigned char* t = record.data();
  Fields f{JlField(t, 0, 30),
           JlField(t, 31, 33),
           JlField(t, 53, 123),
           JlField(t, 44, 47),
           JlField(t, 48, 49),
           JlField(t, 50, 52),
           JlField(t, 124, 142),
           JlField(t, 143, 173),
           JlField(t, 174, 177) + "." + JlField(t, 178, 179) + "." + JlField(t, 180, 182),
           JlField(t, 183, 186) + "." + JlField(t, 187, 188) + "." + JlField(t, 189, 191)};
  const int result = r == 1 ? kSuccess : r;

  if (readType == 0) {
    reply(c, TextAnswer(f, result));
    close();
    return true;
  }
  std::ifstream in("photo.bmp", std::ios::binary);
  if (!in) {
    close();
    reply(c, "{\"return\":0, \"info\":\"照片打开失败\"}");
    return false;
  }
  const std::vector<unsigned char> bmp((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::vector<uint8_t> fp(fingerprint.begin(), fingerprint.begin() + fingerprintLength);
  reply(c, AnswerFor(readType, bmp, f, result, fp, cardNumber.data()));
  close();
  return true;
}

bool handle_HID_ReadBaseMsg(std::string url, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_DEBUG("Enter!");
  if (UseSdtapiReader) {
    handle_JL_HID_ReadBaseMsg(url, params, c, reply);
  } else {
    handle_VN_HID_ReadBaseMsg(url, params, c, reply);
  }
  LOG_DEBUG("Exit!");
  return true;
}
