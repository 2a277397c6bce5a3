// The signature-pad routes "/Pemrik_Api/...": the service starts the capture program
// PemrikProcessor in the console user's session, keeps one TCP connection to it on
// 127.0.0.1:45654, and turns each route into one command word on it.
#pragma once

#include <cstdint>
#include <string>

#include "http/http.h"
#include "platform/process.h"

bool handle_Pemrik_openDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_getSign(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_closeDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_initDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_quitDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_clearDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_confirmDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);

// A token of the active console session's user, or of its Explorer when the session's user
// token cannot be had; empty when neither.
void FindConsoleUserToken(std::unique_ptr<platform::process::Token>* token);
// Starts the program in the active console session with the user's token.
bool CreatePMProcessAsUser(const platform::process::Token* token, const std::string& applicationName,
                           const std::string& commandLine);
// 0 when the command connection is ready (open already, or newly connected); -1 on failure.
int SocketCreateAndInit();

namespace signature {

constexpr uint16_t kCommandPort = 45654;
constexpr size_t kReceiveLimit = 1048576;
// How long a reply of the capture program may take; the service serves nothing meanwhile.
constexpr uint32_t kReplyTimeoutMs = 5000;
// How long a capture program just started may take until it listens.
constexpr uint32_t kListenWaitMs = 5000;

// Tests: another reply time-out, and the program started (a path relative to the working folder
// or absolute; default ".\PemrikProcessor.exe").
void SetReplyTimeoutForTesting(uint32_t ms);
void SetProgramForTesting(const std::string& path);
// Whether the command connection is open.
bool Connected();

}  // namespace signature
