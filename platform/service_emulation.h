#pragma once
// EmulatedServiceManager: an in-memory service control manager with the
// states, rights and error codes of the real one (platform/services.h). It is
// the manager side of the POSIX backend, and tests of both builds put it in
// place of the real manager to drive the service control and the service
// runtime without touching the machine's services.
//
// A started service behaves in one of two ways:
//  - hosted (Host): the manager runs the given service entry on a thread of
//    its own, as the real manager runs a service process; the entry registers
//    its control handler and reports its states through this object, controls
//    are delivered to that handler on the caller's thread, and an entry that
//    returns without reporting "stopped" leaves the service stopped with 1067;
//  - simulated (the default): the service stays start pending for a number of
//    status queries and then runs; a stop control makes it stop pending for a
//    number of queries and then stopped (SetBehaviour).
// A service marked for deletion goes when it is stopped and its last handle
// is closed. Names ignore A-Z case; the enumeration lists services by name.
// The configuration queries want the buffer sizes a 64-bit Windows wants (a
// 64-byte record, or an 8-byte one for the description, followed by the
// texts with their terminators), and GENERIC_READ grants what it grants there.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/services.h"

namespace orvalinth::platform {

class EmulatedServiceManager : public ServiceManager {
 public:
  struct Behaviour {
    static constexpr int kForever = -1;
    int start_pending_queries = 1;  // queries answered "start pending" after a start (kForever: never runs)
    int stop_pending_queries = 1;   // queries answered "stop pending" after a stop control (kForever: never stops)
    bool fails_to_start = false;    // ends stopped with 1067 instead of running
    uint32_t config_error = 0;      // the configuration query fails with this code (0: it answers)
  };

  EmulatedServiceManager();
  // Waits for the entries of hosted services that are still running.
  ~EmulatedServiceManager() override;
  EmulatedServiceManager(const EmulatedServiceManager&) = delete;
  EmulatedServiceManager& operator=(const EmulatedServiceManager&) = delete;

  bool OpenManager(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override;
  // 2 when there is no such service.
  bool WriteDescription(const std::u16string& name, const std::u16string& description) override;
  // This manager starts no processes: a dispatcher fails at once with 1063.
  bool RunDispatcher(const std::string& name, ServiceMainFunction service_main) override;
  // For a hosted entry: binds the handler to the service `name` (1060 when none).
  bool RegisterControlHandler(const std::string& name, ServiceControlHandler handler,
                              ServiceStatusHandle* handle) override;
  // Takes the reported state, accepted controls and exit codes; 6 for an unknown handle.
  bool SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) override;

  // ---- set by tests ----------------------------------------------------------

  // The rights the caller holds; asking for more fails with 5. All by default.
  void SetGrantedRights(uint32_t manager_rights, uint32_t service_rights);
  // How the service `name` behaves when simulated (kept across reinstalls).
  void SetBehaviour(const std::u16string& name, const Behaviour& behaviour);
  // Runs `service_main` on a thread of its own whenever the service `name` is
  // started (kept across reinstalls).
  void Host(const std::u16string& name, ServiceMainFunction service_main);
  // Puts a service in place the way the system's set-up does, without the
  // checks of Create (so a driver may have no image path), in `state`; it
  // replaces a service of the same name.
  void Install(const ServiceConfig& config, uint32_t state = kServiceStopped);

  // ---- read by tests ---------------------------------------------------------

  bool Exists(const std::u16string& name);
  // The configuration it was created with; false when there is no such service.
  bool Config(const std::u16string& name, ServiceConfig* config);
  // The written description; false when none was written.
  bool Description(const std::u16string& name, std::u16string* description);
  bool MarkedForDeletion(const std::u16string& name);
  // The current status; false when there is no such service.
  bool Status(const std::u16string& name, ServiceStatus* status);
  // The states the hosted entry reported since its last start, in order.
  std::vector<uint32_t> ReportedStates(const std::u16string& name);
  // The controls sent to the service since it was created, in order.
  std::vector<uint32_t> Controls(const std::u16string& name);
  // Waits until the service `name` is in `state`, at most `timeout_ms`.
  bool WaitForState(const std::u16string& name, uint32_t state, int timeout_ms);
  // Waits until no hosted entry of the service `name` runs, at most `timeout_ms`.
  bool WaitForEntryEnd(const std::u16string& name, int timeout_ms);

  struct Core;  // shared with the open handles

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace orvalinth::platform
