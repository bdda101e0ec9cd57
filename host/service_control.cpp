#include "host/service_control.h"

#include "base/log.h"
#include "base/paths.h"
#include "base/strings.h"
#include "platform/errors.h"
#include "platform/process.h"

namespace orvalinth {
namespace {

constexpr char16_t kServiceNameW[] = u"OrvalinthSrv";

// Rights on the service: removing and stopping, and starting.
constexpr uint32_t kStopAccess = platform::kServiceDelete | platform::kServiceStop | platform::kServiceQueryStatus;
constexpr uint32_t kStartAccess = platform::kServiceDelete | platform::kServiceStart | platform::kServiceQueryStatus;

// "<operation> - <reason>" for the error code current now.
void LogServiceError(const char* operation) {
  const uint32_t code = platform::LastError();
  LogError("%s - %s", operation, ServiceErrorText(code).c_str());
}

// The failure code of the last call, never 0 (0 would read as success).
uint32_t FailureCode(uint32_t fallback) {
  const uint32_t code = platform::LastError();
  return code != 0 ? code : fallback;
}

}  // namespace

std::string ServiceErrorText(uint32_t code) {
  switch (code) {
    case platform::kErrorAccessDenied: return "access denied";
    case platform::kErrorServiceDoesNotExist: return "service does not exist";
    case platform::kErrorServiceExists: return "service exists";
    default: return Format("error code %d", static_cast<int>(code));
  }
}

int CXServiceControl::Install(const std::string& description) {
  LogInfo("Installing service...");
  uint32_t result = Create();
  if (result == platform::kErrorServiceExists) {
    LogInfo("warning: service already exists");
    if (!Uninstall(true)) return 0;
    LogInfo("installing service...");
    result = Create();
  }
  if (result != 0) {
    platform::SetLastError(result);
    LogServiceError("install service failed");
    return 0;
  }
  // A description that cannot be written costs nothing but the text in the
  // services list; the service itself is complete.
  platform::ServiceManager::Get().WriteDescription(kServiceNameW, Widen(description));
  LogInfo("Service installed");
  return 1;
}

int CXServiceControl::Uninstall(bool stop_first) {
  LogInfo("Uninstall service...");
  int result = 0;
  if (OpenService(kStopAccess)) {
    platform::ServiceStatus status;
    if (!service_->QueryStatus(&status)) {
      LogError("cannot query service status");
    } else {
      if (status.state == platform::kServiceRunning && stop_first) StopOpenService();
      if (!service_->Delete()) {
        LogServiceError("cannot delete service");
      } else {
        LogInfo("Service uninstalled");
        result = 1;
      }
    }
  }
  Close();
  return result;
}

int CXServiceControl::Start() {
  LogInfo("Starting Orvalinth service ...");
  int result = 0;
  if (OpenService(kStartAccess)) {
    if (service_->Start() && WaitWhilePending(platform::kServiceStartPending) == platform::kServiceRunning) {
      result = 1;
    } else {
      LogServiceError("starting service failed");
    }
  }
  Close();
  return result;
}

int CXServiceControl::Stop() {
  LogInfo("stopping service...");
  const int result = OpenService(kStopAccess) ? StopOpenService() : 0;
  Close();
  return result;
}

int CXServiceControl::Restart() {
  platform::SleepMs(timing_.restart_delay_ms);
  Stop();
  Start();
  return 1;
}

bool CXServiceControl::OpenService(uint32_t access) {
  if (!platform::ServiceManager::Get().OpenManager(platform::kScManagerConnect, &manager_)) {
    LogServiceError("openSCManager failed");
    return false;
  }
  if (!manager_->Open(kServiceNameW, access, &service_)) {
    LogServiceError("cannot open service");
    return false;
  }
  return true;
}

void CXServiceControl::Close() {
  service_.reset();
  manager_.reset();
}

uint32_t CXServiceControl::Create() {
  platform::SetLastError(0);  // the log lines before have left their own codes
  const std::u16string program = ExecutablePath();
  if (program.empty()) return FailureCode(platform::kErrorFileNotFound);
  std::unique_ptr<platform::ServiceDatabase> manager;
  if (!platform::ServiceManager::Get().OpenManager(platform::kScManagerCreateService, &manager)) {
    return FailureCode(platform::kErrorAccessDenied);
  }
  platform::ServiceConfig config;
  config.name = kServiceNameW;
  config.display_name = Widen(kDisplayName);
  config.type = platform::kServiceWin32OwnProcess;
  config.start_type = platform::kServiceAutoStart;
  config.error_control = platform::kServiceErrorIgnore;
  // Quoted: the manager reads an unquoted path with blanks ("C:\Program
  // Files\...") as a program "C:\Program.exe" first, which anyone able to
  // write to C:\ could plant and have run as LocalSystem.
  config.binary_path = u"\"" + program + u"\"";
  std::unique_ptr<platform::Service> created;
  if (!manager->Create(config, platform::kServiceAllAccess, &created)) {
    return FailureCode(platform::kErrorGenFailure);
  }
  return 0;
}

int CXServiceControl::StopOpenService() {
  platform::ServiceStatus status;
  if (service_->Control(platform::kServiceControlStop, &status) &&
      WaitWhilePending(platform::kServiceStopPending) == platform::kServiceStopped) {
    return 1;
  }
  LogServiceError("stopping service failed");
  return 0;
}

uint32_t CXServiceControl::WaitWhilePending(uint32_t pending) {
  uint32_t state = 0;
  for (int query = 0; query < timing_.poll_count; ++query) {
    platform::ServiceStatus status;
    if (!service_->QueryStatus(&status)) return state;
    state = status.state;
    if (state != pending) {
      // A service that ended with an exit code says why it did not run.
      if (status.win32_exit_code != 0) platform::SetLastError(status.win32_exit_code);
      return state;
    }
    if (query + 1 < timing_.poll_count) platform::SleepMs(timing_.poll_interval_ms);
  }
  platform::SetLastError(platform::kErrorServiceRequestTimeout);
  return state;
}

}  // namespace orvalinth
