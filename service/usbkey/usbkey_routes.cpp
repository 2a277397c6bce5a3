#include "usbkey_routes.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <optional>

#include "UsbKey.h"
#include "http/json.h"
#include "platform/codepage.h"
#include "tw/log.h"

namespace {

// Parameter buffers, terminating zero included.
constexpr size_t kShortParam = 20;    // "KL", "PassWord", "len"
constexpr size_t kTextParam = 51200;  // "CertPassword", "Certificate", "Signature", "Content"
constexpr size_t kSignPasswordParam = 1024;
// Buffers of the converted library texts, terminating zero included.
constexpr size_t kShortText = 512;    // reader name, serial number
constexpr size_t kLongText = 102400;  // certificate password, certificate, signature picture
constexpr size_t kSignResult = 51200;

using Answer = std::optional<std::string>;
using Clock = std::chrono::steady_clock;

// A text parameter as the library gets it, zero-terminated. nullopt when the value holds a NUL:
// the library would take only the part before it, and the answer would report success for a
// text the page did not send.
std::optional<std::string> TextParam(const mg_str* params, const char* name, size_t size) {
  std::string value(size, '\0');
  const int written = mg_get_http_var(params, name, &value[0], size);
  value.resize(std::strlen(value.c_str()));
  if (written > 0 && static_cast<size_t>(written) != value.size()) {
    LOG_IN(Error, "{} holds a NUL; refused", name);
    return std::nullopt;
  }
  return value;
}

Clock::time_point (*g_now)() = &Clock::now;

// Who gave the key its PIN last, and until when that counts.
struct PinProof {
  std::mutex mutex;
  std::optional<std::string> holder;
  Clock::time_point until;
};

PinProof& Proof() {
  static PinProof proof;
  return proof;
}

// The caller a request speaks for; nullopt for a browser request that names no origin, which
// any page can make (an image, a form, a sandboxed frame).
std::optional<std::string> Caller(const mg_connection* c) {
  static const std::string kPrograms = "no origin";
  const http_message* hm = c->Request();
  if (hm == nullptr) return kPrograms;
  if (const mg_str* origin = mg_get_http_header(hm, "Origin")) {
    std::string value(origin->p, origin->len);
    std::transform(value.begin(), value.end(), value.begin(),
                   [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; });
    if (value.empty() || value == "null") return std::nullopt;
    return "origin " + value;
  }
  if (mg_get_http_header(hm, "Sec-Fetch-Site") != nullptr) return std::nullopt;
  return kPrograms;
}

// After a PIN check: the key is verified for this caller, or (a wrong PIN, a caller that cannot
// hold it) for nobody, as the library forgets an earlier PIN on a wrong one.
void PinGiven(const mg_connection* c, bool right) {
  PinProof& proof = Proof();
  std::lock_guard<std::mutex> lock(proof.mutex);
  proof.holder = right ? Caller(c) : std::nullopt;
  proof.until = g_now() + kPinProofLifetime;
}

void ForgetPin() {
  PinProof& proof = Proof();
  std::lock_guard<std::mutex> lock(proof.mutex);
  proof.holder.reset();
}

bool HoldsPin(const mg_connection* c) {
  const std::optional<std::string> caller = Caller(c);
  PinProof& proof = Proof();
  std::lock_guard<std::mutex> lock(proof.mutex);
  return caller && proof.holder == caller && g_now() < proof.until;
}

// "len" as the library gets it: never beyond the text received, so that the library cannot read
// past the parameter's buffer, and never negative.
int Length(int len, const std::string& text) {
  return static_cast<int>(std::min<long long>(std::max(len, 0), static_cast<long long>(text.size())));
}

void SendReturn(mg_connection* c, ReplySender reply, int value) {
  reply(c, json::Object().Add("return", value).Text());
}

bool KeyReady() {
  const short ready = USBKey_Init_HS();
  LOG_IN(Debug, "USBKey_Init_HS:{}", ready);
  return ready != 0;
}

// A library text as UTF-8 (what the envelope declares; a page's UTF-8 text comes back as it was
// written whatever the system's code page), when there is one and it fits a buffer of
// `bufferSize` bytes with its terminating zero. A text that does not fit is refused whole rather
// than cut: a cut certificate or signature would be wrong data reported as success.
std::optional<std::string> Utf8Text(const wchar_t* text, size_t bufferSize) {
  if (text == nullptr || text[0] == L'\0') return std::nullopt;
  // Every wide unit becomes at least one byte, so a text this long cannot fit, and nothing past
  // it needs reading.
  const size_t units = wcsnlen(text, bufferSize);
  std::string utf8 = units < bufferSize ? platform::Utf8FromWide(std::wstring_view(text, units)) : std::string();
  if (utf8.empty() || utf8.size() >= bufferSize) {
    LOG_IN(Error, "text of {} units does not fit {} bytes", units, bufferSize);
    return std::nullopt;
  }
  return utf8;
}

// Every route asks for the key first; without one the answer is {"return":-1}.
bool NoKey(mg_connection* c, ReplySender reply) {
  if (KeyReady()) return false;
  SendReturn(c, reply, -1);
  return true;
}

// Common steps: the key first, then the call; the library's 1 (success) is answered as 0. The
// library's result, or nullopt when there was no key to call.
template <class Call>
std::optional<int> NumberRoute(const char* function, mg_connection* c, ReplySender reply, Call call) {
  if (NoKey(c, reply)) return std::nullopt;
  const int result = call();
  LOG_IN(Debug, "{}:{}", function, result);
  SendReturn(c, reply, result - 1);
  return result;
}

// The same for a text: an empty, missing or oversized text, or one the answer cannot carry, is
// {"return":-1}. True when the text was answered.
template <class Call, class Format>
bool TextRoute(const char* function, size_t bufferSize, mg_connection* c, ReplySender reply, Call call, Format format) {
  if (NoKey(c, reply)) return false;
  const std::optional<std::string> text = Utf8Text(call(), bufferSize);
  LOG_IN(Debug, "{} length:{}", function, text ? text->size() : 0);
  const Answer answer = text ? format(*text) : std::nullopt;
  if (!answer) {
    SendReturn(c, reply, -1);
    return false;
  }
  reply(c, *answer);
  return true;
}

// A text parameter the library cannot be given whole: refused before any library call.
bool Refused(mg_connection* c, ReplySender reply) {
  SendReturn(c, reply, -1);
  return true;
}

Answer Field(const char* name, const std::string& text) { return json::Object().Add(name, json::Quoted(text)).Text(); }

// A stored item written from one text parameter and its "len": refused before any library call
// when the text cannot be given whole.
bool WriteRoute(const char* function, const char* name, short(TW_STDCALL* write)(const char*, int),
                const mg_str* params, mg_connection* c, ReplySender reply) {
  const std::optional<std::string> text = TextParam(params, name, kTextParam);
  if (!text) return Refused(c, reply);
  const int len = Length(IntParam(params, "len", kShortParam), *text);
  NumberRoute(function, c, reply, [&] { return write(text->c_str(), len); });
  return true;
}

}  // namespace

bool handle_VN_USBKEY_GetReaderName(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  TextRoute("USBKey_GetReaderName", kShortText, c, reply, USBKey_GetReaderName,
            [](const std::string& name) { return Field("readerName", name); });
  return true;
}

bool handle_VN_USBKEY_GetSerialNumber(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  TextRoute("USBKey_Get_SerialNumber", kShortText, c, reply, USBKey_Get_SerialNumber,
            [](const std::string& serial) -> Answer {
              // Callers read the serial number as a bare JSON number; anything else would break
              // the whole answer.
              if (!json::IsNumber(serial)) {
                LOG_IN(Error, "serial number is not a number: {}", json::Escape(serial));
                return std::nullopt;
              }
              return json::Join("{\"SerialNum\":", json::Raw(serial), "}");
            });
  return true;
}

bool handle_VN_USBKEY_FactoryInit(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  NumberRoute("USBKey_Factory_Init", c, reply, USBKey_Factory_Init);
  ForgetPin();  // a new key: the PIN given to the old one counts no more
  return true;
}

bool handle_VN_USBKEY_Format(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  NumberRoute("USBKey_Format", c, reply, USBKey_Format);
  ForgetPin();
  return true;
}

bool handle_VN_USBKEY_Erase(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::optional<std::string> kl = TextParam(params, "KL", kShortParam);
  if (!kl) return Refused(c, reply);
  NumberRoute("USBKey_Erase", c, reply, [&kl] { return USBKey_Erase(kl->c_str()); });
  return true;
}

bool handle_VN_USBKEY_CheckPassword(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::optional<std::string> password = TextParam(params, "PassWord", kShortParam);
  if (!password) return Refused(c, reply);
  if (const auto result =
          NumberRoute("USBKey_Check_PW", c, reply, [&password] { return USBKey_Check_PW(password->c_str()); })) {
    PinGiven(c, *result == 1);
  }
  return true;
}

bool handle_VN_USBKEY_ResetPassword(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::optional<std::string> password = TextParam(params, "PassWord", kShortParam);
  if (!password) return Refused(c, reply);
  const auto result = NumberRoute("USBKey_Reset_PW", c, reply, [&] {
    // The key may count as verified for another page, or for one whose PIN is too old.
    if (!HoldsPin(c)) {
      LOG_IN(Error, "the PIN was not given by this caller within {} minutes", kPinProofLifetime.count());
      return 0;
    }
    return static_cast<int>(USBKey_Reset_PW(password->c_str()));
  });
  if (result == 1) ForgetPin();  // a new PIN is proven by giving it
  return true;
}

bool handle_VN_USBKEY_WriteCertPassword(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::optional<std::string> password = TextParam(params, "CertPassword", kTextParam);
  if (!password) return Refused(c, reply);
  // The library takes a 16-bit length: 65537 arrives as 1.
  const auto len =
      static_cast<unsigned short>(Length(static_cast<unsigned short>(IntParam(params, "len", kShortParam)), *password));
  LOG_IN(Debug, "realLen:{}", password->size());
  NumberRoute("USBKey_Write_Certificate_Password", c, reply,
              [&] { return USBKey_Write_Certificate_Password(password->c_str(), len); });
  return true;
}

bool handle_VN_USBKEY_ReadCertPassword(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  TextRoute("USBKey_Read_Certificate_Password", kLongText, c, reply, USBKey_Read_Certificate_Password,
            [](const std::string& text) { return Field("CertPassword", text); });
  return true;
}

bool handle_VN_USBKEY_WriteCertificate(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  return WriteRoute("USBKey_Write_Certificate", "Certificate", USBKey_Write_Certificate, params, c, reply);
}

bool handle_VN_USBKEY_ReadCertificate(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  TextRoute("USBKey_Read_Certificate", kLongText, c, reply, USBKey_Read_Certificate,
            [](const std::string& text) { return Field("Certificate", text); });
  return true;
}

bool handle_VN_USBKEY_WriteSignature(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  return WriteRoute("USBKey_WriteFile", "Signature", USBKey_WriteFile, params, c, reply);
}

bool handle_VN_USBKEY_ReadSignature(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  // The stored text goes out as it is: the page that wrote it stored Base64 of a JPEG.
  TextRoute("USBKey_ReadFile", kLongText, c, reply, USBKey_ReadFile,
            [](const std::string& text) { return Field("result", "data:image/jpg;base64," + text); });
  return true;
}

bool handle_VN_USBKEY_DOSIGN(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::optional<std::string> content = TextParam(params, "Content", kTextParam);
  const std::optional<std::string> password = TextParam(params, "PassWord", kSignPasswordParam);
  if (!content || !password) return Refused(c, reply);
  const int len = Length(IntParam(params, "len", kShortParam), *content);
  bool called = false;
  const bool signed_ = TextRoute(
      "USBKey_DOSIGN", kSignResult, c, reply,
      [&] {
        called = true;
        return USBKey_DOSIGN(content->c_str(), len, password->c_str());
      },
      [](const std::string& signature) { return Field("result", signature); });
  // Signing checks the PIN: a signature proves it, a failure may have been a wrong one.
  if (called) PinGiven(c, signed_);
  return true;
}

void SetUsbKeyClockForTesting(std::chrono::steady_clock::time_point (*now)()) {
  g_now = now != nullptr ? now : &Clock::now;
}
