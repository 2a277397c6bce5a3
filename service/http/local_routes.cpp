// The routes that belong to the service itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http.h"
#include "json.h"
#include "local_routes.h"
#include "platform/version.h"
#include "tw/log.h"

bool handle_Local_GetVersion(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_ROUTINE(Debug);
  const auto version = platform::ProgramFileVersion();
  if (!version) {
    LOG_ERROR("No Version");
    reply(c, json::Object().Add("return", -1).Text());
    return false;
  }
  // Built as a string rather than in a fixed buffer: a long version text must not cut the JSON.
  LOG_DEBUG("Version:{}", *version);
  reply(c, json::Object().Add("Version", json::Quoted(*version)).Text());
  return true;
}

bool handle_Local_Debug(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  tw::log::SetMaxSeverity(IntParam(params, "Open") != 0 ? tw::log::Severity::Debug : tw::log::Severity::Error);
  reply(c, json::Object().Add("return", 0).Text());
  return true;
}

bool handle_test(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  reply(c, json::Object().Add("return", 0).Text());
  return true;
}
