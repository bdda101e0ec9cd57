#include "host/application.h"

#include "host/log.h"
#include "host/paths.h"
#include "host/run_program.h"

namespace orvalinth {

std::atomic<int> g_uninstall_requested{0};

bool StartApplication() {
  // The settings, the socket library and the connection thread join here as
  // the console link arrives.
  LogInfo("Orvalinth started");
  return true;
}

void StopApplication() {
  LogInfo("Orvalinth finished");
  if (g_uninstall_requested.load() != 0) {
    LogInfo("Uninstalling...");
    RunProgram(ExecutablePath(), u"-uninstall -quiet", RunProgramMode::kReplace);
  }
}

}  // namespace orvalinth
