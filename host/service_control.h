#pragma once
// CXServiceControl: installs, removes, starts and stops the program's own
// service through the service control manager (platform/services.h). Every
// step and every failure goes to the log; the results only tell the callers
// (the command-line options, the upgrade and the uninstall) whether to go on.
//
// The service: "OrvalinthSrv", display name "Orvalinth Service", its own
// process, automatic start, errors ignored, LocalSystem, no dependencies, the
// running executable as its program, and the registry value "Description".
//
// Error lines read "<operation> - <reason>": "access denied" (5), "service does
// not exist" (1060), "service exists" (1073), else "error code <n>", with the
// system error code current when the line is written.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/services.h"

namespace orvalinth {

class CXServiceControl {
 public:
  static constexpr const char* kServiceName = "OrvalinthSrv";
  static constexpr const char* kDisplayName = "Orvalinth Service";
  // What "-register" installs the service with.
  static constexpr const char* kDescription = "Orvalinth remote scan client";

  struct Timing {
    uint32_t poll_interval_ms = 100;   // between two status queries while waiting for a state
    int poll_count = 70;               // status queries at most while waiting (7 s)
    uint32_t restart_delay_ms = 5000;  // Restart's sleep before it stops the service
  };

  CXServiceControl() : CXServiceControl(Timing()) {}
  explicit CXServiceControl(Timing timing) : timing_(timing) {}
  CXServiceControl(const CXServiceControl&) = delete;
  CXServiceControl& operator=(const CXServiceControl&) = delete;

  // Creates the service and writes its description. An existing service is
  // first removed (stopped when it runs) and then created again; when that
  // removal fails, nothing more happens. 1 when the service was created.
  int Install(const std::string& description);
  // Deletes the service, stopping it first when it runs and `stop_first` is
  // set (a failed stop does not prevent the deletion). 1 when deleted.
  int Uninstall(bool stop_first);
  // Starts the service and waits while it is start pending. 1 when it runs.
  int Start();
  // Sends the stop control and waits while it is stop pending. 1 when stopped.
  int Stop();
  // Sleeps the restart delay, then Stop and Start whatever their outcome. 1.
  int Restart();

 private:
  // Opens the manager with connect rights and the service with `access`,
  // logging the failure; the handles stay open until Close.
  bool OpenService(uint32_t access);
  void Close();
  // Creates the service; 0 or the system error code.
  uint32_t Create();
  // Sends the stop control to the open service and waits; logs a failure.
  int StopOpenService();
  // Queries while the state is `pending`, at most poll_count times; the last
  // state read, 0 when the first query fails. The error code is 1053 after a
  // time-out, the service's exit code when it stopped with one.
  uint32_t WaitWhilePending(uint32_t pending);

  Timing timing_;
  std::unique_ptr<platform::ServiceDatabase> manager_;  // closed after the service
  std::unique_ptr<platform::Service> service_;
};

// The reason part of an error line for a system error code.
std::string ServiceErrorText(uint32_t code);

}  // namespace orvalinth
