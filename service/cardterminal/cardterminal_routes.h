// The card-terminal routes "/Jrs_Api/...": one call each into the card library
// JRS_40QK_CardDll, answered with its result code, its text, or (JrsCardGetFprImage) the
// fingerprint picture as a BMP data URL, also written to "./Log/Fpr.bmp".
#pragma once

#include <string>

#include "http/http.h"

bool handle_JRS_CARD_GetDllVer(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_CommOpen(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_CommClose(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_CommandEx(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_CommRead(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_CommWriteEx(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_GetDataStrEx(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_DataRead(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_CmdRead(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
bool handle_JRS_CARD_GetFprImage(std::string url, const mg_str* params, mg_connection* c, ReplySender reply);
