#include "usbkey_routes.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
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

std::string TextParam(const mg_str* params, const char* name, size_t size) {
  std::string value(size, '\0');
  mg_get_http_var(params, name, &value[0], size);
  value.resize(std::strlen(value.c_str()));
  return value;
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

// A library text in the ANSI code page, when there is one and it fits a buffer of `bufferSize`
// bytes with its terminating zero. A text that does not fit is refused whole rather than cut:
// a cut certificate or signature would be wrong data reported as success.
std::optional<std::string> AnsiText(const wchar_t* text, size_t bufferSize) {
  if (text == nullptr || text[0] == L'\0') return std::nullopt;
  // Every byte of the result comes from at most two wide units (a surrogate pair), so a text
  // this long cannot fit, and nothing past it needs reading.
  const size_t units = wcsnlen(text, 2 * bufferSize);
  std::string ansi = units < 2 * bufferSize
                         ? platform::TextFromWide(std::wstring_view(text, units), platform::CodePage::Ansi)
                         : std::string();
  if (ansi.empty() || ansi.size() >= bufferSize) {
    LOG_IN(Error, "text of {} units does not fit {} bytes", units, bufferSize);
    return std::nullopt;
  }
  return ansi;
}

// Common steps: the key first, then the call; the library's 1 (success) is answered as 0.
template <class Call>
void NumberRoute(const char* function, mg_connection* c, ReplySender reply, Call call) {
  if (!KeyReady()) return SendReturn(c, reply, -1);
  const int result = call();
  LOG_IN(Debug, "{}:{}", function, result);
  SendReturn(c, reply, result - 1);
}

// The same for a text: an empty, missing or oversized text, or one the answer cannot carry, is
// {"return":-1}.
template <class Call, class Format>
void TextRoute(const char* function, size_t bufferSize, mg_connection* c, ReplySender reply, Call call, Format format) {
  if (!KeyReady()) return SendReturn(c, reply, -1);
  const std::optional<std::string> text = AnsiText(call(), bufferSize);
  LOG_IN(Debug, "{} length:{}", function, text ? text->size() : 0);
  const Answer answer = text ? format(*text) : std::nullopt;
  if (!answer) return SendReturn(c, reply, -1);
  reply(c, *answer);
}

Answer Field(const char* name, const std::string& text) { return json::Object().Add(name, json::Quoted(text)).Text(); }

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
  return true;
}

bool handle_VN_USBKEY_Format(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  NumberRoute("USBKey_Format", c, reply, USBKey_Format);
  return true;
}

bool handle_VN_USBKEY_Erase(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::string kl = TextParam(params, "KL", kShortParam);
  NumberRoute("USBKey_Erase", c, reply, [&kl] { return USBKey_Erase(kl.c_str()); });
  return true;
}

bool handle_VN_USBKEY_CheckPassword(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::string password = TextParam(params, "PassWord", kShortParam);
  NumberRoute("USBKey_Check_PW", c, reply, [&password] { return USBKey_Check_PW(password.c_str()); });
  return true;
}

bool handle_VN_USBKEY_ResetPassword(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::string password = TextParam(params, "PassWord", kShortParam);
  NumberRoute("USBKey_Reset_PW", c, reply, [&password] { return USBKey_Reset_PW(password.c_str()); });
  return true;
}

bool handle_VN_USBKEY_WriteCertPassword(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::string password = TextParam(params, "CertPassword", kTextParam);
  // The library takes a 16-bit length: 65537 arrives as 1.
  const auto len =
      static_cast<unsigned short>(Length(static_cast<unsigned short>(IntParam(params, "len", kShortParam)), password));
  LOG_IN(Debug, "realLen:{}", password.size());
  NumberRoute("USBKey_Write_Certificate_Password", c, reply,
              [&] { return USBKey_Write_Certificate_Password(password.c_str(), len); });
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
  const std::string certificate = TextParam(params, "Certificate", kTextParam);
  const int len = Length(IntParam(params, "len", kShortParam), certificate);
  NumberRoute("USBKey_Write_Certificate", c, reply, [&] { return USBKey_Write_Certificate(certificate.c_str(), len); });
  return true;
}

bool handle_VN_USBKEY_ReadCertificate(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  TextRoute("USBKey_Read_Certificate", kLongText, c, reply, USBKey_Read_Certificate,
            [](const std::string& text) { return Field("Certificate", text); });
  return true;
}

bool handle_VN_USBKEY_WriteSignature(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const std::string signature = TextParam(params, "Signature", kTextParam);
  const int len = Length(IntParam(params, "len", kShortParam), signature);
  NumberRoute("USBKey_WriteFile", c, reply, [&] { return USBKey_WriteFile(signature.c_str(), len); });
  return true;
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
  const std::string content = TextParam(params, "Content", kTextParam);
  const int len = Length(IntParam(params, "len", kShortParam), content);
  const std::string password = TextParam(params, "PassWord", kSignPasswordParam);
  TextRoute(
      "USBKey_DOSIGN", kSignResult, c, reply, [&] { return USBKey_DOSIGN(content.c_str(), len, password.c_str()); },
      [](const std::string& signature) { return Field("result", signature); });
  return true;
}
