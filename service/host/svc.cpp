#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>

#include "event_sources.h"
#include "host.h"
#include "http/http.h"
#include "http/status_page.h"
#include "idcard/devtool_binding.h"
#include "platform/codepage.h"
#include "platform/event.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/msgbox.h"
#include "platform/net.h"
#include "platform/settings.h"
#include "signature/signature_routes.h"
#include "tw/log.h"

namespace svc = platform::service;

const uint16_t kCandidatePorts[3] = {12321, 61234, 23456};

namespace {

constexpr char kServiceName[] = "Tarnwick";
// What a stop may take: the poll pass ends at once, handlers that still run get the server's stop
// bound, then the capture program is asked to quit and, failing that, ended.
constexpr uint32_t kStopWaitHintMs =
    static_cast<uint32_t>(Tarnwick::Limits{}.stopWait.count()) + signature::kQuitWaitMs + signature::kEndWaitMs;

svc::Status g_status;
svc::StatusHandle g_statusHandle = nullptr;
uint32_t g_checkPoint = 1;
std::mutex g_statusMutex;
std::unique_ptr<platform::Event> g_stopEvent;
// A stop that came before the stop event existed (Ctrl+C early in a console run); start-up
// honours it once the event is there. Guarded by g_statusMutex.
bool g_stopRequested = false;
bool g_underManager = false;
// The address the service listens on and probes; every IPv4 interface when empty.
std::string g_listenAddress;
void (*g_statusObserver)(const svc::Status&) = nullptr;
void (*g_listeningHook)(const std::string&, const std::string&) = nullptr;
int g_exitStatus = 0;

// The control handler runs on another thread; it may wake the poll pass only while the server
// is alive.
std::mutex g_serverMutex;
Tarnwick* g_server = nullptr;

void SetLiveServer(Tarnwick* server) {
  std::lock_guard<std::mutex> lock(g_serverMutex);
  g_server = server;
}

// Steps shared by the service and the console run: folders, log, first status report.
bool StartLogging() {
  char date[128] = {0};
  const std::time_t now = std::time(nullptr);
  // Called once, before any other thread could use the shared result.
  std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));

  // The folders hold the card holders' photos: only the service's account may read them.
  platform::CreatePrivateDirectory("Log");
  platform::CreatePrivateDirectory(std::string("Log") + "/Photo");
  return tw::log::Init(std::string("Log") + "/" + date + ".txt", tw::log::Severity::Debug);
}

}  // namespace

void SetStatusObserver(void (*observer)(const svc::Status&)) { g_statusObserver = observer; }
void SetUnderManagerForTesting(bool underManager) { g_underManager = underManager; }
void SetListeningHook(void (*hook)(const std::string&, const std::string&)) { g_listeningHook = hook; }
int LastRunExitStatus() { return g_exitStatus; }

void ShowBox(const char* fmt, ...) {
  char text[100];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  // Under the service manager no one could close a box (session 0 has no user): the text goes
  // to the event log and the log file instead.
  if (g_underManager) {
    LOG_ERROR("{}", text);
    svc::ReportErrorEvent(kServiceName, 0xC0020001u, {kServiceName, text});
    return;
  }
  platform::ShowMessageBox(text);
}

namespace {

// Caller holds g_statusMutex.
void ReportLocked(uint32_t currentState, uint32_t win32ExitCode, uint32_t waitHint) {
  g_status.currentState = currentState;
  g_status.win32ExitCode = win32ExitCode;
  g_status.waitHint = waitHint;
  g_status.controlsAccepted = currentState == svc::kStartPending ? 0 : svc::kAcceptStop;
  if (currentState == svc::kRunning || currentState == svc::kStopped) {
    g_status.checkPoint = 0;
  } else {
    g_status.checkPoint = g_checkPoint++;
  }
  if (g_statusHandle != nullptr) svc::SetStatus(g_statusHandle, g_status);
  if (g_statusObserver != nullptr) g_statusObserver(g_status);
}

}  // namespace

void ReportSvcStatus(uint32_t currentState, uint32_t win32ExitCode, uint32_t waitHint) {
  LOG_INFO("Enter!");
  // The control handler reports from another thread; the record and the check point must not
  // be torn between the two.
  std::lock_guard<std::mutex> lock(g_statusMutex);
  ReportLocked(currentState, win32ExitCode, waitHint);
  LOG_INFO("Exit!");
}

void SvcCtrlHandler(uint32_t control) {
  if (control != svc::kControlStop) return;
  // A real wait hint: the manager (and "Tarnwick stop") waits that long between its looks.
  ReportSvcStatus(svc::kStopPending, svc::kNoError, kStopWaitHintMs);
  {
    // Start-up creates the event under the same lock and sets it when a stop came first.
    std::lock_guard<std::mutex> lock(g_statusMutex);
    g_stopRequested = true;
    if (g_stopEvent) g_stopEvent->Set();
  }
  {
    // A stop must not wait for the poll pass to run out.
    std::lock_guard<std::mutex> lock(g_serverMutex);
    if (g_server != nullptr) g_server->Interrupt();
  }
  // Read and re-report in one step: the service thread may report STOPPED in between, and a
  // stale STOP_PENDING after it would leave the manager waiting on a service that has ended.
  LOG_INFO("Enter!");
  {
    std::lock_guard<std::mutex> lock(g_statusMutex);
    ReportLocked(g_status.currentState, svc::kNoError,
                 g_status.currentState == svc::kStopPending ? kStopWaitHintMs : 0);
  }
  LOG_INFO("Exit!");
}

void SvcReportEvent(const char* functionName, uint32_t error) {
  char text[80];
  std::snprintf(text, sizeof text, "%s failed with %u", functionName, static_cast<unsigned>(error));
  if (!svc::ReportErrorEvent(kServiceName, 0xC0020001u, {kServiceName, text})) {
    LOG_ERROR("RegisterEventSource failed!");
  }
}

int PortAntiOccupation(int port) {
  int error = 0;
  if (platform::ProbeTcpPort(static_cast<uint16_t>(port), g_listenAddress, &error) == platform::PortProbe::InUse) {
    LOG_ERROR("Port:({}) is occupied", port);
    return 0;
  }
  return 1;
}

namespace {

// No port helps when the address itself cannot be used: the run ends, and says why where its
// user looks (the console, or the event log under the manager) and in the log.
void StopForUnusableAddress(const std::string& why) {
  const std::string text = "Cannot listen on " + g_listenAddress + " (ListenAddress): " + why;
  LOG_ERROR("{}", text);
  if (g_underManager) {
    svc::ReportErrorEvent(kServiceName, 0xC0020001u, {kServiceName, text});
  } else {
    std::fprintf(stderr, "Tarnwick: %s\n", text.c_str());
    std::fflush(stderr);
  }
  g_exitStatus = kListenAddressUnusable;
  {
    std::lock_guard<std::mutex> lock(g_statusMutex);
    g_status.serviceSpecificExitCode = static_cast<uint32_t>(kListenAddressUnusable);
  }
  ReportSvcStatus(svc::kStopped, svc::kErrorServiceSpecific, 0);
}

// Settings of our own, off unless set: where to listen, which pages may use the service, and
// who besides this PC may read /metrics (the fleet's scrapers).
status_page::Settings ApplySettings(Tarnwick& server) {
  g_listenAddress = platform::settings::Text(kServiceName, "ListenAddress").value_or("");
  AccessPolicy policy;
  policy.allowedOrigins = platform::settings::List(kServiceName, "AllowedOrigins");
  LOG_DEBUG("ListenAddress:{}", g_listenAddress);
  for (const std::string& origin : policy.allowedOrigins) LOG_DEBUG("AllowedOrigin:{}", origin);
  SetAccessPolicy(std::move(policy));
  server.SetListenAddress(g_listenAddress);
  status_page::Settings pageSettings;
  pageSettings.metricsFrom = platform::settings::List(kServiceName, "MetricsFrom");
  for (const std::string& from : pageSettings.metricsFrom) LOG_DEBUG("MetricsFrom:{}", from);
  return pageSettings;
}

// Listens on the first candidate port that is free. The port; empty when the service stops
// instead (it has said why and reported it).
std::string ListenOnAFreePort(Tarnwick& server) {
  bool routesAdded = false;
  for (uint16_t candidate : kCandidatePorts) {
    if (PortAntiOccupation(candidate) != 1) continue;
    const std::string port = std::to_string(candidate);
    LOG_DEBUG("WebServer Port:{}", port);
    LOG_DEBUG("http_server Init!{}", port);
    server.Init(port);
    if (!routesAdded) {
      RegisterRoutes(server);
      LOG_DEBUG("AddHandler Done!");
      tw::log::SetMaxSeverity(tw::log::Severity::Error);
      routesAdded = true;
    }
    if (server.Start()) return port;
    if (server.LastStartFailure() == Tarnwick::StartFailure::UnusableAddress) {
      StopForUnusableAddress(server.LastStartError());
      return std::string();
    }
    // Taken between the probe and the listen, or an address this machine does not have: the
    // next candidate, rather than running without a listener and claiming success.
    LOG_ERROR("WebServer Start failed:{}:{}", g_listenAddress.empty() ? "0.0.0.0" : g_listenAddress, port);
  }
  if (!routesAdded) LOG_ERROR("All ports occupied");
  ReportSvcStatus(svc::kStopped, svc::kNoError, 0);
  return std::string();
}

// Serves until the stop event, then ends what the service started.
void ServeUntilStopped(Tarnwick& server) {
  // Its polls run on the server's lanes: it stops first.
  auto eventSources = std::make_unique<EventSources>(server);
  for (;;) {
    const platform::WaitResult r = g_stopEvent->Wait(0);
    if (r == platform::WaitResult::Timeout) {
      server.PollOnce();
    } else if (r == platform::WaitResult::Signalled) {
      SetLiveServer(nullptr);
      eventSources.reset();
      server.Close();
      // Whatever stopped the service (the manager, Ctrl+C, SIGTERM), no capture program it
      // started outlives it; before STOPPED, after which the manager may end this process.
      signature::EndCaptureProgram();
      ReportSvcStatus(svc::kStopped, svc::kNoError, 0);
      return;
    } else {
      // A failing wait must not turn the loop into a spin.
      svc::SleepMs(100);
    }
  }
}

}  // namespace

void SvcInit(uint32_t, wchar_t**) {
  auto server = std::make_shared<Tarnwick>();
  LOG_DEBUG("SvcInit Enter!");

  {
    std::lock_guard<std::mutex> lock(g_statusMutex);
    g_stopEvent = platform::Event::CreateManualReset();
    if (g_stopEvent && g_stopRequested) g_stopEvent->Set();
  }
  if (!g_stopEvent) {
    ReportSvcStatus(svc::kStopped, svc::kNoError, 0);
    LOG_ERROR("CreateEvent Failed!");
    ShowBox("CreateEvent Failed");
    return;
  }

  LOG_DEBUG("ReportSvcStatus Enter!");
  ReportSvcStatus(svc::kRunning, svc::kNoError, 0);

  BindDevtool("SvcInit");
  platform::KeepLargeBlocksApart();

  const int wsa = platform::NetStartup(0x0101);
  if (wsa != 0) {
    LOG_ERROR("WSAStartup Error:{}", wsa);
    ShowBox("WSAStartup Error");
    ReportSvcStatus(svc::kStopped, svc::kNoError, 0);
    return;
  }

  status_page::Settings pageSettings = ApplySettings(*server);
  LOG_DEBUG("Port!{}", "");
  const std::string port = ListenOnAFreePort(*server);
  if (port.empty()) return;
  SetLiveServer(server.get());
  signature::Program().SetStartInUserSession(g_underManager);
  LOG_DEBUG("Listening on:{}:{}", server->BoundAddress(), port);
  pageSettings.listenAddress = server->BoundAddress();
  pageSettings.port = port;
  status_page::SetSettings(std::move(pageSettings));
  if (g_listeningHook != nullptr) g_listeningHook(server->BoundAddress(), port);
  ServeUntilStopped(*server);
}

void SvcMain(uint32_t argc, wchar_t** argv) {
  g_exitStatus = 0;
  StartLogging();
  LOG_DEBUG("SvcMain Enter!");

  if (g_underManager) {
    g_statusHandle = svc::RegisterControlHandler(kServiceName, SvcCtrlHandler);
    if (g_statusHandle == nullptr) {
      const uint32_t error = svc::LastError();
      SvcReportEvent("RegisterServiceCtrlHandler", error);
      ShowBox("RegisterServiceCtrlHandler");
      return;
    }
  }

  g_checkPoint = 1;
  g_status = svc::Status{};
  g_status.serviceType = svc::kWin32OwnProcess;
  g_status.serviceSpecificExitCode = 0;
  ReportSvcStatus(svc::kStartPending, svc::kNoError, 3000);

  LOG_DEBUG("SvcInit!");
  SvcInit(argc, argv);
  // The run is over; a later run (the tests make several) starts afresh.
  g_listenAddress.clear();
  std::lock_guard<std::mutex> lock(g_statusMutex);
  g_stopRequested = false;
  g_stopEvent.reset();
}

int RunConsole() {
  g_underManager = false;
  g_statusHandle = nullptr;
  svc::InstallConsoleStopHandler(SvcCtrlHandler);
  SvcMain(0, nullptr);
  return g_exitStatus;
}

namespace {

int RunService() {
  g_underManager = true;
  svc::ApplyServiceEnvironment(kServiceName);
  if (!svc::RunDispatcher(kServiceName, SvcMain)) {
    const uint32_t error = svc::LastError();
    platform::ShowMessageBox("Tarnwick服务打开失败!");
    SvcReportEvent("StartServiceCtrlDispatcher", error);
  }
  return g_exitStatus;
}

bool SameWord(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// The address a browser on this machine can use, and the one really listened on.
void PrintListening(const std::string& address, const std::string& port) {
  if (address == "0.0.0.0") {
    std::printf("Tarnwick listening on http://127.0.0.1:%s/ (0.0.0.0: all IPv4 interfaces); Ctrl+C stops it\n",
                port.c_str());
  } else {
    const bool v6 = address.find(':') != std::string::npos;
    std::printf("Tarnwick listening on http://%s%s%s:%s/ (%s only); Ctrl+C stops it\n", v6 ? "[" : "", address.c_str(),
                v6 ? "]" : "", port.c_str(), address.c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int TarnwickMain(const std::vector<std::string>& args) {
  const std::string word = args.size() > 1 ? args[1] : std::string();
  if (SameWord(word, "install")) {
    SvcInstall();
  } else if (SameWord(word, "uninstall")) {
    DoDeleteSvc();
  } else if (SameWord(word, "start")) {
    DoStartSvc();
  } else if (SameWord(word, "stop")) {
    DoStopSvc();
  } else if (SameWord(word, "console")) {
    SetListeningHook(PrintListening);
    return RunConsole();
  } else if (svc::ServesInForegroundByDefault()) {
    SetListeningHook(PrintListening);
    return RunConsole();
  } else {
    return RunService();
  }
  return 0;
}
