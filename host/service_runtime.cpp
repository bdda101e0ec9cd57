#include "host/service_runtime.h"

#include <atomic>
#include <mutex>

#include "base/app_version.h"
#include "base/log.h"
#include "base/strings.h"
#include "host/application.h"
#include "host/crash_handler.h"
#include "host/crash_recovery.h"
#include "host/service_control.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/services.h"

namespace orvalinth {
namespace {

// How long the dispatcher's return waits for the entry to write its last
// line: on Windows the dispatcher returns as soon as "stopped" is reported,
// and a process that ended then would lose "Service stopped".
constexpr int64_t kEntryFinishWaitMs = 5000;
// The wait for the stop event goes in slices of this length.
constexpr int64_t kStopWaitSliceMs = 1000;

// The status record. The control handler runs on the dispatcher's thread and
// the entry on its own, so both take the lock around the record and its report.
std::mutex g_status_lock;
platform::ServiceStatus g_status;
platform::ServiceStatusHandle g_status_handle = 0;

// The stop event: auto-reset, unsignalled at the start of every run.
platform::Event g_stop_event(platform::Event::Mode::kAutoReset);

std::atomic<bool> g_entry_entered{false};
platform::Event g_entry_finished(platform::Event::Mode::kManualReset);

// Sets the state and reports the record; the lock is held.
void ReportLocked(uint32_t state) {
  g_status.state = state;
  platform::ServiceManager::Get().SetStatus(g_status_handle, g_status);
}

void Report(uint32_t state) {
  std::lock_guard<std::mutex> guard(g_status_lock);
  ReportLocked(state);
}

void SetAcceptedControls(uint32_t controls) {
  std::lock_guard<std::mutex> guard(g_status_lock);
  g_status.controls_accepted = controls;
}

// How long the crash recovery tries the status lock (the control handler
// holds it only for a moment; the faulting thread itself perhaps for ever).
constexpr int kCrashLockWaitMs = 1000;
constexpr int kCrashLockPollMs = 5;

// The first step of the entry: a fault from here on is reported into
// "error-log.txt" and the service restarted.
void InstallServiceCrashHandler() {
  InstallCrashHandler(u"error-log.txt", Format("Orvalinth service v%s", AppVersionText(APP_VERSION)),
                      /*show_message=*/0, &CrashRecovery);
}

}  // namespace

bool RunServiceDispatcher() {
  g_entry_entered.store(false);
  g_entry_finished.Reset();
  const bool ran = platform::ServiceManager::Get().RunDispatcher(CXServiceControl::kServiceName, &ServiceMain);
  if (ran && g_entry_entered.load()) g_entry_finished.Wait(kEntryFinishWaitMs);
  return ran;
}

void ServiceMain() {
  g_entry_entered.store(true);
  InstallServiceCrashHandler();
  {
    std::lock_guard<std::mutex> guard(g_status_lock);
    g_status = platform::ServiceStatus();
    g_status.type = platform::kServiceWin32;
    g_status.state = platform::kServiceStopped;
    g_status_handle = 0;
  }
  // Unsignalled before the handler exists, so that no stop can be lost.
  g_stop_event.Reset();

  platform::ServiceStatusHandle handle = 0;
  if (!platform::ServiceManager::Get().RegisterControlHandler(CXServiceControl::kServiceName, &ServiceCtrlHandler,
                                                               &handle)) {
    LogError("service start failed - cannot register handler");
    g_entry_finished.Set();
    return;
  }
  {
    std::lock_guard<std::mutex> guard(g_status_lock);
    g_status_handle = handle;
  }
  LogInfo("Service started");
  Report(platform::kServiceStartPending);
  SetAcceptedControls(platform::kServiceAcceptStop | platform::kServiceAcceptShutdown);
  Report(platform::kServiceRunning);

  // The console's "uninstall" asks for the stop through the same event.
  SetStopRequestHandler(&SignalStop);
  if (StartApplication()) {
    while (!g_stop_event.Wait(kStopWaitSliceMs)) {
    }
  } else {
    LogInfo("app start failed");
  }

  Report(platform::kServiceStopPending);
  StopApplication();  // after an "uninstall" command the process ends in here

  {
    std::lock_guard<std::mutex> guard(g_status_lock);
    g_status.controls_accepted = 0;
    ReportLocked(platform::kServiceStopped);
  }
  LogInfo("Service stopped");
  g_entry_finished.Set();
}

void ServiceCtrlHandler(uint32_t control) {
  const bool stop = control == platform::kServiceControlStop || control == platform::kServiceControlShutdown;
  {
    std::lock_guard<std::mutex> guard(g_status_lock);
    // Before the entry has reported anything, and after it has stopped, there
    // is no status to report: a stop then only signals the event, which the
    // entry finds when it starts waiting.
    if (g_status.state != platform::kServiceStopped) {
      if (stop) g_status.state = platform::kServiceStopPending;
      platform::ServiceManager::Get().SetStatus(g_status_handle, g_status);
    }
  }
  if (stop) SignalStop();
}

void SignalStop() { g_stop_event.Set(); }

void ReportStoppedAfterCrash() {
  std::unique_lock<std::mutex> guard(g_status_lock, std::try_to_lock);
  for (int waited = 0; !guard.owns_lock() && waited < kCrashLockWaitMs; waited += kCrashLockPollMs) {
    platform::SleepMs(kCrashLockPollMs);
    guard.try_lock();
  }
  // Nothing to tell before the entry has registered its handler, or after it has stopped.
  if (!guard.owns_lock() || g_status_handle == 0 || g_status.state == platform::kServiceStopped) return;
  g_status.controls_accepted = 0;
  g_status.win32_exit_code = platform::kErrorProcessAborted;
  ReportLocked(platform::kServiceStopped);
}

}  // namespace orvalinth
