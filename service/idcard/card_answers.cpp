#include "card_answers.h"

#include "http/http.h"
#include "http/json.h"

namespace {

json::Object Fields(const CardFields& f) {
  json::Object o;
  o.Add("name", json::Quoted(f.name))
      .Add("sex", json::Quoted(f.sex))
      .Add("address", json::Quoted(f.address))
      .Add("birthYear", json::Quoted(f.birthYear))
      .Add("birthMon", json::Quoted(f.birthMon))
      .Add("birthDay", json::Quoted(f.birthDay))
      .Add("idNo", json::Quoted(f.idNo))
      .Add("police", json::Quoted(f.police))
      .Add("validateBegin", json::Quoted(f.validateBegin))
      .Add("validateEnd", json::Quoted(f.validateEnd));
  return o;
}

std::string DataUrl(const std::vector<uint8_t>& bmp) {
  return "data:image/bmp;base64," + Base64Encode(bmp.data(), static_cast<int>(bmp.size()));
}

}  // namespace

std::string CardAnswer(int readType, const CardRead& card) {
  // "return" travels as a quoted number in these answers.
  const std::string result = std::to_string(card.result);
  if (readType == 0) return Fields(card.fields).Add("return", json::Quoted(result)).Text();
  if (readType == 1) return json::Object().Add("result", json::Quoted(DataUrl(card.photo))).Text();
  json::Object o;
  o.Add("photo", json::Quoted(DataUrl(card.photo)))
      .Add("data", json::Raw(Fields(card.fields).Text()))
      .Add("return", json::Quoted(result));
  if (WithFingerprint(readType)) {
    o.Add("fp", json::Quoted(Base64Encode(card.fingerprint.data(), static_cast<int>(card.fingerprint.size()))));
  }
  return o.Add("cardNo", json::Quoted(card.cardNo)).Text();
}

std::string ErrorAnswer(int code, const char* info) {
  return json::Join("{\"return\":", code, ", \"info\":", json::Quoted(info), "}");
}
