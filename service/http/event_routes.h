// The event stream "/Local/Events" and its answer head.
#pragma once

#include <string>

#include "http.h"

bool handle_Local_Events(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
