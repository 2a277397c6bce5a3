// Routes of the service itself: "/Local/GetVersion", "/Local/Debug", "/test".
#pragma once

#include <string>

#include "http.h"

bool handle_Local_GetVersion(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Local_Debug(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_test(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
