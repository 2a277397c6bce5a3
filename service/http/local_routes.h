// Routes of the service itself: "/Local/GetVersion", "/Local/Debug", "/test".
#pragma once

#include <string>

#include "http.h"

bool handle_Local_GetVersion(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Local_Debug(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_test(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);

// A text made safe to stand inside a JSON string: quote, backslash and control characters are
// escaped; every other byte (UTF-8 included) stays as it is.
std::string JsonEscape(const std::string& text);
