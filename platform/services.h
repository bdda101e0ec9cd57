#pragma once
// The service control manager, from both of its sides:
//  - the manager side: open the manager, create, open, start, control, query
//    and delete services (the handles are the objects below and close when
//    they go);
//  - the service side: the dispatcher that a service process hands itself
//    to, the control handler and the status reports.
// On win32 the real manager. On POSIX the manager side is an in-memory
// emulation (platform/service_emulation.h) and the service side runs a
// daemon the way systemd does: the service entry runs in the foreground and
// SIGTERM or SIGINT is the stop control.
//
// Operations report success as true; on failure false with the Windows error
// code as the thread's last error (platform/errors.h): 5 access denied, 1060
// no such service, 1073 the service exists, 1072 marked for deletion, 1056
// already running, 1062 not active, 1052 control not accepted, 1061 the
// service cannot take a control now, 1063 the process was not started by
// the manager.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

// Error codes of the manager.
enum : uint32_t {
  kErrorInvalidServiceControl = 1052,
  kErrorServiceRequestTimeout = 1053,
  kErrorServiceAlreadyRunning = 1056,
  kErrorServiceCannotAcceptControl = 1061,
  kErrorServiceNotActive = 1062,
  kErrorFailedServiceControllerConnect = 1063,
  kErrorProcessAborted = 1067,
  kErrorServiceMarkedForDelete = 1072,
};

// Service types, start types, error control.
enum : uint32_t {
  kServiceKernelDriver = 0x1,
  kServiceFileSystemDriver = 0x2,
  kServiceWin32OwnProcess = 0x10,
  kServiceWin32ShareProcess = 0x20,
  kServiceWin32 = 0x30,
  kServiceTypeAll = 0x13F,  // drivers, services and interactive services
  kServiceBootStart = 0,
  kServiceSystemStart = 1,
  kServiceAutoStart = 2,
  kServiceDemandStart = 3,
  kServiceDisabled = 4,
  kServiceErrorIgnore = 0,
  kServiceErrorNormal = 1,
};

// Current states, and the state filters of the enumeration.
enum : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
  kServiceStateActive = 1,    // every state but stopped
  kServiceStateInactive = 2,  // stopped
  kServiceStateAll = 3,
};

// Controls, and the bits of the controls a service accepts.
enum : uint32_t {
  kServiceControlStop = 1,
  kServiceControlPause = 2,
  kServiceControlContinue = 3,
  kServiceControlInterrogate = 4,
  kServiceControlShutdown = 5,
  kServiceAcceptStop = 0x1,
  kServiceAcceptShutdown = 0x4,
};

// Access rights on the manager and on a service.
enum : uint32_t {
  kScManagerConnect = 0x1,
  kScManagerCreateService = 0x2,
  kScManagerEnumerateService = 0x4,
  kScManagerAllAccess = 0xF003F,
  kServiceQueryConfig = 0x1,
  kServiceChangeConfig = 0x2,
  kServiceQueryStatus = 0x4,
  kServiceStart = 0x10,
  kServiceStop = 0x20,
  kServiceInterrogate = 0x80,
  kServiceDelete = 0x10000,  // DELETE
  kServiceAllAccess = 0xF01FF,
  // GENERIC_READ: on the manager connect, enumerate and query the lock
  // status; on a service query its configuration, status and dependents,
  // and interrogate it.
  kGenericRead = 0x80000000,
};

// A service's status (SERVICE_STATUS, and the process fields of the extended
// SERVICE_STATUS_PROCESS).
struct ServiceStatus {
  uint32_t type = 0;
  uint32_t state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_exit_code = 0;
  uint32_t checkpoint = 0;
  uint32_t wait_hint = 0;
  uint32_t process_id = 0;  // extended status only; 0 when not running
};

// What a service is created with.
struct ServiceConfig {
  std::u16string name;
  std::u16string display_name;
  uint32_t type = kServiceWin32OwnProcess;
  uint32_t start_type = kServiceDemandStart;
  uint32_t error_control = kServiceErrorNormal;
  std::u16string binary_path;  // the command line the manager starts
  std::u16string load_order_group;
  std::vector<std::u16string> dependencies;
  std::u16string account;  // empty: LocalSystem
  std::u16string password;
};

// One service as the enumeration lists it (ENUM_SERVICE_STATUSW).
struct ServiceEntry {
  std::u16string name;
  std::u16string display_name;
  ServiceStatus status;  // without the process id
};

// An open service (a service handle).
class Service {
 public:
  virtual ~Service() = default;
  // Starts the service without arguments (needs kServiceStart).
  virtual bool Start() = 0;
  // Sends `control`; `status` receives the status the service reports
  // (kServiceStop for stop, kServiceInterrogate for interrogate).
  virtual bool Control(uint32_t control, ServiceStatus* status) = 0;
  // The extended status (needs kServiceQueryStatus).
  virtual bool QueryStatus(ServiceStatus* status) = 0;
  // Marks the service for deletion (needs kServiceDelete); it goes when it
  // has stopped and its last handle is closed.
  virtual bool Delete() = 0;

  // The queries of the configuration read the system's record into the
  // caller's `buffer` of `size` bytes (aligned for pointers), so that one
  // buffer can serve many services. A buffer too small gives false with
  // kErrorInsufficientBuffer and `needed`, the size that fits.
  //
  // The configuration (QUERY_SERVICE_CONFIGW; needs kServiceQueryConfig):
  // every field of ServiceConfig but the name and the password.
  virtual bool QueryConfig(void* buffer, uint32_t size, uint32_t* needed, ServiceConfig* config) = 0;
  // The description (SERVICE_CONFIG_DESCRIPTION); empty when it has none.
  virtual bool QueryDescription(void* buffer, uint32_t size, uint32_t* needed, std::u16string* description) = 0;
};

// An open service control manager (a manager handle).
class ServiceDatabase {
 public:
  virtual ~ServiceDatabase() = default;
  // Creates `config.name` (needs kScManagerCreateService) and opens it with `access`.
  virtual bool Create(const ServiceConfig& config, uint32_t access, std::unique_ptr<Service>* service) = 0;
  // Opens the service `name` (names ignore A-Z case) with `access`.
  virtual bool Open(const std::u16string& name, uint32_t access, std::unique_ptr<Service>* service) = 0;
  // Every service of one of the `types` whose state passes `states`
  // (kServiceState*), in the manager's order (by name). On win32 the size
  // of the list is asked for first and the list is read once into a buffer
  // of that size (a Wine manager offers no resumption of a cut list); a
  // list that grew in between fails with kErrorMoreData. Needs
  // kScManagerEnumerateService.
  virtual bool Enumerate(uint32_t types, uint32_t states, std::vector<ServiceEntry>* entries) = 0;
};

// The service entry and the control handler of a service process.
using ServiceMainFunction = void (*)();
using ServiceControlHandler = void (*)(uint32_t control);
// What a registered control handler reports its status through.
using ServiceStatusHandle = uintptr_t;

class ServiceManager : public Facility<ServiceManager> {
 public:
  virtual ~ServiceManager() = default;

  // ---- the manager side ----------------------------------------------------

  // Opens the manager of the local machine, default database, with `access`.
  virtual bool OpenManager(uint32_t access, std::unique_ptr<ServiceDatabase>* database) = 0;
  // Writes the service's registry value "Description" (REG_SZ, the units of
  // `description` without a terminating zero) below HKEY_LOCAL_MACHINE
  // "SYSTEM\CurrentControlSet\Services\<name>", opened with read and write
  // rights. False with the registry's error code (2 when the key is missing).
  virtual bool WriteDescription(const std::u16string& name, const std::u16string& description) = 0;

  // ---- the service side ----------------------------------------------------

  // Hands the calling thread to the manager's dispatcher for the one service
  // `name`, whose entry is `service_main`; returns when the service has
  // stopped, or at once (1063) when the process was not started as a service.
  virtual bool RunDispatcher(const std::string& name, ServiceMainFunction service_main) = 0;
  // Registers the control handler of the service `name` (from its entry).
  virtual bool RegisterControlHandler(const std::string& name, ServiceControlHandler handler,
                                      ServiceStatusHandle* handle) = 0;
  // Reports the service's status to the manager.
  virtual bool SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;
};

template <>
ServiceManager& Facility<ServiceManager>::Real();

}  // namespace orvalinth::platform
