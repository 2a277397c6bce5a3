// The command words: install, uninstall, start and stop the service through the manager.
#include <cstdio>

#include "host.h"
#include "platform/folders.h"
#include "tw/log.h"

namespace svc = platform::service;

namespace {

constexpr char kServiceName[] = "Tarnwick";

uint32_t Clamp(uint32_t waitHint) {
  uint32_t wait = waitHint / 10;
  if (wait < 1000) return 1000;
  if (wait > 10000) return 10000;
  return wait;
}

}  // namespace

void SvcInstall() {
  const std::string path = platform::ProgramPath();
  if (path.empty()) {
    ShowBox("Cannot install service %d", static_cast<int>(svc::LastError()));
    return;
  }
  svc::ScHandle manager = svc::ScOpenManager(svc::kManagerAllAccess);
  if (manager == nullptr) {
    ShowBox("OpenSCManager failed %d", static_cast<int>(svc::LastError()));
    return;
  }
  svc::ScHandle service = svc::ScCreateService(manager, kServiceName, kServiceName, path);
  if (service == nullptr) {
    ShowBox("CreateService failed %d", static_cast<int>(svc::LastError()));
  }
  svc::ScCloseHandle(service);
  svc::ScCloseHandle(manager);
}

void DoDeleteSvc() {
  svc::ScHandle manager = svc::ScOpenManager(svc::kManagerAllAccess);
  if (manager == nullptr) return;
  svc::ScHandle service = svc::ScOpenService(manager, kServiceName, svc::kDelete);
  if (service != nullptr) {
    if (svc::ScDeleteService(service)) std::printf("Service deleted successfully\n");
    svc::ScCloseHandle(service);
  }
  svc::ScCloseHandle(manager);
}

void DoStartSvc() {
  svc::ScHandle manager = svc::ScOpenManager(svc::kManagerAllAccess);
  if (manager == nullptr) {
    ShowBox("OpenSCManager failed (%d)\n", static_cast<int>(svc::LastError()));
    return;
  }
  svc::ScHandle service = svc::ScOpenService(manager, kServiceName, svc::kServiceAllAccess);
  if (service == nullptr) {
    ShowBox("OpenService failed (%d)\n", static_cast<int>(svc::LastError()));
    svc::ScCloseHandle(manager);
    return;
  }

  svc::ProcessStatus status;
  // Every way out closes both handles.
  auto finish = [&] {
    svc::ScCloseHandle(service);
    svc::ScCloseHandle(manager);
  };
  if (!svc::ScQueryStatus(service, &status)) {
    ShowBox("QueryServiceStatusEx failed (%d)\n", static_cast<int>(svc::LastError()));
    return finish();
  }
  if (status.currentState != svc::kStopped && status.currentState != svc::kStopPending) {
    ShowBox("Cannot start the service because it is already running\n");
    return finish();
  }

  uint32_t startTick = svc::TickCount();
  uint32_t oldCheckPoint = status.checkPoint;
  while (status.currentState == svc::kStopPending) {
    svc::SleepMs(Clamp(status.waitHint));
    if (!svc::ScQueryStatus(service, &status)) {
      ShowBox("QueryServiceStatusEx1 failed (%d)\n", static_cast<int>(svc::LastError()));
      return finish();
    }
    if (status.checkPoint > oldCheckPoint) {
      startTick = svc::TickCount();
      oldCheckPoint = status.checkPoint;
    } else if (svc::TickCount() - startTick > status.waitHint) {
      ShowBox("Timeout waiting for service to stop\n");
      return finish();
    }
  }

  if (!svc::ScStartService(service)) {
    ShowBox("StartService failed (%d)\n", static_cast<int>(svc::LastError()));
    return finish();
  }
  if (!svc::ScQueryStatus(service, &status)) {
    ShowBox("QueryServiceStatusEx2 failed (%d)\n", static_cast<int>(svc::LastError()));
    return finish();
  }
  startTick = svc::TickCount();
  oldCheckPoint = status.checkPoint;
  while (status.currentState == svc::kStartPending) {
    svc::SleepMs(Clamp(status.waitHint));
    if (!svc::ScQueryStatus(service, &status)) {
      ShowBox("QueryServiceStatusEx3 failed (%d)\n", static_cast<int>(svc::LastError()));
      break;
    }
    if (status.checkPoint > oldCheckPoint) {
      startTick = svc::TickCount();
      oldCheckPoint = status.checkPoint;
    } else if (svc::TickCount() - startTick > status.waitHint) {
      break;
    }
  }
  // Only the log hears the outcome, and this process has none.
  if (status.currentState == svc::kRunning) {
    LOG_DEBUG("Service started successfully.");
  } else {
    LOG_DEBUG("Service not started. Current State:{} Exit Code:{} Check Point:{} Wait Hint:{}", status.currentState,
              status.win32ExitCode, status.checkPoint, status.waitHint);
  }
  finish();
}

void DoStopSvc() {
  const uint32_t startTime = svc::TickCount();
  constexpr uint32_t kTimeout = 30000;
  svc::ScHandle manager = svc::ScOpenManager(svc::kManagerAllAccess);
  if (manager == nullptr) return;
  svc::ScHandle service = svc::ScOpenService(
      manager, kServiceName, svc::kServiceStop | svc::kServiceQueryStatus | svc::kServiceEnumerateDependents);
  if (service == nullptr) {
    ShowBox("OpenService failed (%d)\n", static_cast<int>(svc::LastError()));
    svc::ScCloseHandle(manager);
    return;
  }
  auto finish = [&] {
    svc::ScCloseHandle(service);
    svc::ScCloseHandle(manager);
  };

  svc::ProcessStatus status;
  if (!svc::ScQueryStatus(service, &status)) {
    ShowBox("QueryServiceStatusEx4 failed (%d)\n", static_cast<int>(svc::LastError()));
    return finish();
  }
  if (status.currentState == svc::kStopped) {
    std::printf("Service is already stopped.\n");
    return finish();
  }
  if (status.currentState == svc::kStopPending) {
    for (;;) {
      std::printf("Service stop pending...\n");
      svc::SleepMs(Clamp(status.waitHint));
      if (!svc::ScQueryStatus(service, &status)) {
        ShowBox("QueryServiceStatusEx5 failed (%d)\n", static_cast<int>(svc::LastError()));
        return finish();
      }
      if (status.currentState == svc::kStopped) {
        std::printf("Service stopped successfully.\n");
        return finish();
      }
      if (svc::TickCount() - startTime > kTimeout) {
        std::printf("Service stop timed out.\n");
        return finish();
      }
    }
  }

  svc::Status controlStatus;
  if (!svc::ScControlService(service, svc::kControlStop, &controlStatus)) {
    ShowBox("ControlService failed (%d)\n", static_cast<int>(svc::LastError()));
    return finish();
  }
  static_cast<svc::Status&>(status) = controlStatus;
  while (status.currentState != svc::kStopped) {
    svc::SleepMs(status.waitHint);
    if (!svc::ScQueryStatus(service, &status)) {
      ShowBox("QueryServiceStatusEx6 failed (%d)\n", static_cast<int>(svc::LastError()));
      return finish();
    }
    if (status.currentState == svc::kStopped) break;
    if (svc::TickCount() - startTime > kTimeout) {
      std::printf("Wait timed out\n");
      return finish();
    }
  }
  std::printf("Service stopped successfully\n");
  finish();
}
