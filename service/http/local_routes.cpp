// The routes that belong to the service itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http.h"
#include "local_routes.h"
#include "platform/version.h"
#include "tw/log.h"

std::string JsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char ch : text) {
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (ch < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", ch);
          out += esc;
        } else {
          out.push_back(static_cast<char>(ch));
        }
    }
  }
  return out;
}

bool handle_Local_GetVersion(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  LOG_DEBUG("Enter!");
  const auto version = platform::ProgramFileVersion();
  if (!version) {
    LOG_ERROR("No Version");
    reply(c, "{\"return\":-1}");
    LOG_DEBUG("Exit!");
    return false;
  }
  // Built as a string rather than in a fixed buffer: a long version text must not cut the JSON.
  const std::string answer = "{\"Version\":\"" + JsonEscape(*version) + "\"}";
  LOG_DEBUG("Version:{}", *version);
  reply(c, answer);
  LOG_DEBUG("Exit!");
  return true;
}

bool handle_Local_Debug(std::string, const mg_str* params, mg_connection* c, ReplySender reply) {
  char open[20] = {0};
  mg_get_http_var(params, "Open", open, sizeof open);
  tw::log::SetMaxSeverity(std::atoi(open) != 0 ? tw::log::Severity::Debug : tw::log::Severity::Error);
  char answer[512];
  std::snprintf(answer, sizeof answer, "{\"return\":%d}", 0);
  reply(c, answer);
  return true;
}

bool handle_test(std::string, const mg_str*, mg_connection* c, ReplySender reply) {
  reply(c, "{\"return\":0}");
  return true;
}
