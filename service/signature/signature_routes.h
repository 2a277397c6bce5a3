// The signature-pad routes "/Pemrik_Api/...": each turns into one command word on the connection
// to the capture program PemrikProcessor, which OpenDev starts and connects (capture_program.h).
#pragma once

#include <cstdint>
#include <string>

#include "capture_program.h"
#include "http/http.h"
#include "sign_data.h"

bool handle_Pemrik_openDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_getSign(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_closeDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_initDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_quitDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_clearDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_Pemrik_confirmDev(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
// "/Pemrik_Api/GetSignData?format=json|svg": the pen's path of the signature on the canvas.
bool handle_Pemrik_getSignData(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);

namespace signature {

constexpr size_t kReceiveLimit = 1048576;
// How long a reply of the capture program may take; the signature lane serves nothing meanwhile.
constexpr uint32_t kReplyTimeoutMs = 5000;
// The longest reply to the point words: the whole record (65536 points) in its widest lines.
constexpr size_t kPointsReceiveLimit = 4 * 1048576;

// Tests: another reply time-out, and the program started (a path relative to the working folder
// or absolute; default ".\PemrikProcessor.exe").
void SetReplyTimeoutForTesting(uint32_t ms);
void SetProgramForTesting(const std::string& path);
// Whether the command connection is open.
bool Connected();
// Ends the capture program this service started (the service's stop and exit).
void EndCaptureProgram();

// For following the pen while a person signs. Both are exchanges on the command connection like
// the routes' (a failed one closes it), take the same lock, and so must not be called from inside
// a signature handler; meant for the signature family's lane.
// The points from `index` on (at most 4096), with the record's generation, dropped count, next
// index and the confirmed flag. false without a connection or when the exchange failed. A
// follower starts again from 0 when the generation changed, and knows it missed points when
// `from` lies past the index it asked for.
bool FetchPoints(uint64_t index, PenPoints* out);
// The confirmed flag without taking it (GetConfirm still answers 0 once): 1 pressed, 0 not,
// -1 without a connection or when the exchange failed.
int PeekConfirmed();
// With simulation on, one of the capture program's words for its simulated tablet ("SimConfirm",
// "SimUnplug", "SimReplug"); true when the program carried it out. Same rules as above.
bool SimulationWord(const char* word);

}  // namespace signature
