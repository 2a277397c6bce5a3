// Service host: process entry with the command words, the service main routine, the control
// handler, start-up with the port choice, and the poll loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/service.h"

class Tarnwick;

extern const uint16_t kCandidatePorts[3];

int TarnwickMain(const std::vector<std::string>& args);

void SvcMain(uint32_t argc, wchar_t** argv);
void SvcCtrlHandler(uint32_t control);
void SvcInit(uint32_t argc, wchar_t** argv);
void ReportSvcStatus(uint32_t currentState, uint32_t win32ExitCode, uint32_t waitHint);
void SvcReportEvent(const char* functionName, uint32_t error = platform::service::LastError());
int PortAntiOccupation(int port);

void SvcInstall();
void DoDeleteSvc();
void DoStartSvc();
void DoStopSvc();

// Runs start-up and the poll loop in the foreground; the stop control is Ctrl+C (SIGTERM too
// on Linux). Returns the program's exit status: not 0 when the listen address cannot be used.
int RunConsole();

// Registers every route that exists, in route-table order.
void RegisterRoutes(Tarnwick& server);

// Shows a message box with a text formatted into 100 characters, as the command words do.
void ShowBox(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Test and console hooks. The observer sees every status report; the listening hook is called
// once the server listens, with the address and port it listens on.
void SetStatusObserver(void (*observer)(const platform::service::Status& status));
// Whether message boxes are taken for a service run (their text goes to the logs instead).
void SetUnderManagerForTesting(bool underManager);
void SetListeningHook(void (*hook)(const std::string& address, const std::string& port));
// The exit status of the last run: 0, or kListenAddressUnusable.
constexpr int kListenAddressUnusable = 2;
int LastRunExitStatus();
