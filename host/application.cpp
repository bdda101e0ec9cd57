#include "host/application.h"

#include "base/log.h"
#include "base/paths.h"
#include "host/run_program.h"
#include "host/upgrade.h"
#include "link/client.h"
#include "link/message_trace.h"
#include "link/socket.h"
#include "settings/client_settings.h"

namespace orvalinth {
namespace {

std::atomic<StopRequestHandler> g_stop_request_handler{nullptr};

}  // namespace

std::atomic<int> g_uninstall_requested{0};

void SetStopRequestHandler(StopRequestHandler handler) { g_stop_request_handler.store(handler); }

bool RequestServiceStop() {
  const StopRequestHandler handler = g_stop_request_handler.load();
  if (handler == nullptr) return false;
  handler();
  return true;
}

SXMaintenanceActions ServiceMaintenanceActions(CXClientSettings& settings) {
  SXMaintenanceActions actions;
  actions.upgrade = [&settings](const uint8_t* bytes, int32_t length, std::string* error) {
    return BeginUpgrade(settings, bytes, length, error);
  };
  actions.uninstall = [] {
    g_uninstall_requested.store(1);
    RequestServiceStop();
  };
  return actions;
}

bool StartApplication() {
  // The system folder paths of the scans join here with the recorder.
  // The service goes on without the socket library: every connection attempt
  // then fails and is retried, which the log shows.
  CXSocket::Startup();
  EnableMessageTraceIfRequested();
  if (ProcessSettings().Load(SettingsPath()) == 0) return false;
  ProcessClient().set_maintenance_actions(ServiceMaintenanceActions(ProcessSettings()));
  if (ProcessClient().StartConnectionThread() == 0) return false;
  LogInfo("Orvalinth started");
  return true;
}

void StopApplication() {
  ProcessClient().StopClient();
  LogInfo("Orvalinth finished");
  if (g_uninstall_requested.load() != 0) {
    LogInfo("Uninstalling...");
    RunProgram(ExecutablePath(), u"-uninstall -quiet", RunProgramMode::kReplace);
  }
}

}  // namespace orvalinth
