#include "idcard_routes.h"

#include <atomic>

#include "http/json.h"
#include "reader_family.h"
#include "sdtapi.h"
#include "tw/log.h"
#include "vnsdtapi.h"

namespace {
std::atomic<Readers> g_chosen{Readers::Own};
}  // namespace

Readers ChooseReaders() {
  HID_SetTransType(1);
  const int jl = GetHIDCount();
  const int own = HID_GetCount();
  LOG_DEBUG("GetHIDCount:{}", jl);
  LOG_DEBUG("HID_GetCount:{}", own);
  // This system's readers come first; the second family only when none of them is attached.
  const Readers chosen = own == 0 ? Readers::Sdtapi : Readers::Own;
  g_chosen = chosen;
  return chosen;
}

Readers ChosenFamily() { return g_chosen; }

ReaderFamily& ChosenReaders() { return g_chosen == Readers::Sdtapi ? SdtapiReaders() : OwnReaders(); }

void ResetReadersForTesting() { g_chosen = Readers::Own; }

bool handle_HID_OpenPort(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  IntParam(params, "Port");
  ChooseReaders();
  reply(c, json::Object().Add("return", 0).Text());
  return true;
}

bool handle_HID_ClosePort(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const int result = ChosenReaders().ClosePort(IntParam(params, "Port"));
  reply(c, json::Object().Add("return", result).Text());
  return true;
}

bool handle_HID_GetCardNo(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  std::string cardNo;
  const int result = ChosenReaders().ReadCardNumber(IntParam(params, "Port"), &cardNo);
  reply(c, json::Object().Add("cardNo", json::Quoted(cardNo)).Add("return", result).Text());
  return true;
}

bool handle_HID_GetSAMID(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  std::string samId;
  const int result = ChosenReaders().ReadSamId(IntParam(params, "Port"), &samId);
  reply(c, json::Join("{ \"szSAMID\": ", json::Quoted(samId), ",\"return\":", result, "}"));
  return true;
}

bool handle_HID_ReadBaseMsg(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  reply(c, ChosenReaders().ReadBaseMsg(IntParam(params, "Port"), IntParam(params, "ReadType")));
  return true;
}
