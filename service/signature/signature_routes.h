// The signature-pad routes "/Pemrik_Api/...": each turns into one command word on the connection
// to the capture program PemrikProcessor, which OpenDev starts and connects (capture_program.h).
#pragma once

#include <cstdint>
#include <string>

#include "capture_program.h"
#include "http/http.h"

bool handle_Pemrik_openDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_getSign(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_closeDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_initDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_quitDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_clearDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_confirmDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);

namespace signature {

constexpr size_t kReceiveLimit = 1048576;
// How long a reply of the capture program may take; the signature lane serves nothing meanwhile.
constexpr uint32_t kReplyTimeoutMs = 5000;

// Tests: another reply time-out, and the program started (a path relative to the working folder
// or absolute; default ".\PemrikProcessor.exe").
void SetReplyTimeoutForTesting(uint32_t ms);
void SetProgramForTesting(const std::string& path);
// Whether the command connection is open.
bool Connected();
// Ends the capture program this service started (the service's stop and exit).
void EndCaptureProgram();

}  // namespace signature
