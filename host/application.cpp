#include "host/application.h"

#include "host/log.h"
#include "host/paths.h"
#include "host/run_program.h"
#include "settings/client_settings.h"

namespace orvalinth {

std::atomic<int> g_uninstall_requested{0};

bool StartApplication() {
  // The system folder paths of the applications scan and the socket library
  // are prepared here when the scans and the console link arrive.
  if (!ProcessSettings().Load(SettingsPath())) return false;  // Load has logged why
  // The connection thread starts here; when it cannot start, the start fails.
  LogInfo("Orvalinth started");
  return true;
}

void StopApplication() {
  // Stopping the client: raise its stop flag and wait, without a time limit,
  // until its connection and scan threads have ended.
  LogInfo("stopping service...");
  LogInfo("Orvalinth finished");
  if (g_uninstall_requested.load() != 0) {
    LogInfo("Uninstalling...");
    RunProgram(ExecutablePath(), u"-uninstall -quiet", RunProgramMode::kReplace);
  }
}

}  // namespace orvalinth
