// The service control manager through the Windows API.

#include "platform/services.h"

#include "platform/errors.h"
#include "platform/win32/win.h"

// WIN32_LEAN_AND_MEAN leaves the service API out of <windows.h>.
#include <winsvc.h>

#include <atomic>
#include <cwchar>
#include <vector>

namespace orvalinth::platform {
namespace {

using win32::U;
using win32::W;

// Owns one handle of the service control manager (a manager or a service).
class ScHandle {
 public:
  ScHandle() = default;
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ~ScHandle() { Reset(); }
  ScHandle(ScHandle&& other) noexcept : h_(other.Release()) {}
  ScHandle& operator=(ScHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = other.Release();
    }
    return *this;
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;

  SC_HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr; }
  SC_HANDLE Release() {
    SC_HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset() {
    // Closing must not change the error code that the caller is about to report.
    const DWORD saved = ::GetLastError();
    if (h_ != nullptr) CloseServiceHandle(h_);
    h_ = nullptr;
    ::SetLastError(saved);
  }

 private:
  SC_HANDLE h_ = nullptr;
};

// Owns one open registry key.
class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (h_ != nullptr) RegCloseKey(h_);
  }
  KeyHandle(KeyHandle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  KeyHandle& operator=(KeyHandle&&) = delete;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;

  HKEY* receive() { return &h_; }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

void CopyStatus(const SERVICE_STATUS& in, ServiceStatus* out) {
  out->type = in.dwServiceType;
  out->state = in.dwCurrentState;
  out->controls_accepted = in.dwControlsAccepted;
  out->win32_exit_code = in.dwWin32ExitCode;
  out->service_exit_code = in.dwServiceSpecificExitCode;
  out->checkpoint = in.dwCheckPoint;
  out->wait_hint = in.dwWaitHint;
  out->process_id = 0;
}

class WinService final : public Service {
 public:
  explicit WinService(ScHandle handle) : handle_(std::move(handle)) {}

  bool Start() override { return StartServiceW(handle_.get(), /*dwNumServiceArgs=*/0, nullptr) != 0; }

  bool Control(uint32_t control, ServiceStatus* status) override {
    SERVICE_STATUS raw{};
    const BOOL ok = ControlService(handle_.get(), control, &raw);
    const DWORD error = ::GetLastError();
    CopyStatus(raw, status);
    ::SetLastError(ok ? 0 : error);
    return ok != 0;
  }

  bool QueryStatus(ServiceStatus* status) override {
    SERVICE_STATUS_PROCESS raw{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(handle_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&raw), sizeof raw,
                              &needed)) {
      return false;
    }
    status->type = raw.dwServiceType;
    status->state = raw.dwCurrentState;
    status->controls_accepted = raw.dwControlsAccepted;
    status->win32_exit_code = raw.dwWin32ExitCode;
    status->service_exit_code = raw.dwServiceSpecificExitCode;
    status->checkpoint = raw.dwCheckPoint;
    status->wait_hint = raw.dwWaitHint;
    status->process_id = raw.dwProcessId;
    return true;
  }

  bool Delete() override { return DeleteService(handle_.get()) != 0; }

  bool QueryConfig(void* buffer, uint32_t size, uint32_t* needed, ServiceConfig* config) override {
    auto* raw = static_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    DWORD wanted = 0;
    if (!QueryServiceConfigW(handle_.get(), raw, size, &wanted)) {
      *needed = wanted;
      return false;
    }
    *needed = wanted;
    config->type = raw->dwServiceType;
    config->start_type = raw->dwStartType;
    config->error_control = raw->dwErrorControl;
    config->binary_path = U(raw->lpBinaryPathName);
    config->load_order_group = U(raw->lpLoadOrderGroup);
    config->display_name = U(raw->lpDisplayName);
    config->account = U(raw->lpServiceStartName);
    config->dependencies.clear();
    // A block of zero-terminated names ended by an empty one.
    for (const wchar_t* name = raw->lpDependencies; name != nullptr && *name != 0; name += wcslen(name) + 1) {
      config->dependencies.push_back(U(name));
    }
    return true;
  }

  bool QueryDescription(void* buffer, uint32_t size, uint32_t* needed, std::u16string* description) override {
    DWORD wanted = 0;
    if (!QueryServiceConfig2W(handle_.get(), SERVICE_CONFIG_DESCRIPTION, static_cast<LPBYTE>(buffer), size,
                              &wanted)) {
      *needed = wanted;
      return false;
    }
    *needed = wanted;
    *description = U(static_cast<const SERVICE_DESCRIPTIONW*>(buffer)->lpDescription);
    return true;
  }

 private:
  ScHandle handle_;
};

// A text for the API: null when empty, so that the manager takes its default.
const wchar_t* Optional(const std::u16string& text) { return text.empty() ? nullptr : W(text); }

class WinServiceDatabase final : public ServiceDatabase {
 public:
  explicit WinServiceDatabase(ScHandle handle) : handle_(std::move(handle)) {}

  bool Create(const ServiceConfig& config, uint32_t access, std::unique_ptr<Service>* service) override {
    // Dependencies travel as one block of zero-terminated names ended by an empty one.
    std::u16string dependencies;
    for (const std::u16string& name : config.dependencies) dependencies += name + u'\0';
    if (!dependencies.empty()) dependencies += u'\0';
    ScHandle created(CreateServiceW(handle_.get(), W(config.name), W(config.display_name), access, config.type,
                                    config.start_type, config.error_control, W(config.binary_path),
                                    Optional(config.load_order_group), /*lpdwTagId=*/nullptr,
                                    dependencies.empty() ? nullptr : W(dependencies), Optional(config.account),
                                    Optional(config.password)));
    if (!created.valid()) return false;
    *service = std::make_unique<WinService>(std::move(created));
    return true;
  }

  bool Open(const std::u16string& name, uint32_t access, std::unique_ptr<Service>* service) override {
    ScHandle opened(OpenServiceW(handle_.get(), W(name), access));
    if (!opened.valid()) return false;
    *service = std::make_unique<WinService>(std::move(opened));
    return true;
  }

  bool Enumerate(uint32_t types, uint32_t states, std::vector<ServiceEntry>* entries) override {
    entries->clear();
    DWORD needed = 0;
    DWORD returned = 0;
    DWORD resume = 0;
    // First the size: Wine answers a short buffer with 234 and no usable
    // resume handle, so the list is read whole, once.
    if (EnumServicesStatusW(handle_.get(), types, states, /*lpServices=*/nullptr, /*cbBufSize=*/0, &needed,
                            &returned, &resume)) {
      return true;  // nothing to list
    }
    if (::GetLastError() != ERROR_MORE_DATA) return false;
    std::vector<uint64_t> buffer((needed + 7) / 8 + 1);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(uint64_t));
    auto* list = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
    resume = 0;
    if (!EnumServicesStatusW(handle_.get(), types, states, list, size, &needed, &returned, &resume)) return false;
    entries->reserve(returned);
    for (DWORD i = 0; i < returned; ++i) {
      ServiceEntry entry;
      entry.name = U(list[i].lpServiceName);
      entry.display_name = U(list[i].lpDisplayName);
      CopyStatus(list[i].ServiceStatus, &entry.status);
      entries->push_back(std::move(entry));
    }
    ::SetLastError(ERROR_SUCCESS);
    return true;
  }

 private:
  ScHandle handle_;
};

// The dispatcher and the manager call plain functions: the entry and the
// handler of the one service this process runs are kept here.
std::atomic<ServiceMainFunction> g_service_main{nullptr};
std::atomic<ServiceControlHandler> g_control_handler{nullptr};

void WINAPI ServiceMainThunk(DWORD /*argc*/, LPSTR* /*argv*/) {
  const ServiceMainFunction main = g_service_main.load();
  if (main != nullptr) main();
}

void WINAPI ControlHandlerThunk(DWORD control) {
  const ServiceControlHandler handler = g_control_handler.load();
  if (handler != nullptr) handler(control);
}

class WinServiceManager final : public ServiceManager {
 public:
  bool OpenManager(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override {
    ScHandle manager(OpenSCManagerW(/*lpMachineName=*/nullptr, /*lpDatabaseName=*/nullptr, access));
    if (!manager.valid()) return false;
    *database = std::make_unique<WinServiceDatabase>(std::move(manager));
    return true;
  }

  bool WriteDescription(const std::u16string& name, const std::u16string& description) override {
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\" + name;
    KeyHandle key;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), /*ulOptions=*/0, KEY_READ | KEY_WRITE, key.receive());
    if (result == ERROR_SUCCESS) {
      result = RegSetValueExW(key.get(), L"Description", /*Reserved=*/0, REG_SZ,
                              reinterpret_cast<const BYTE*>(description.data()),
                              static_cast<DWORD>(description.size() * sizeof(char16_t)));
    }
    ::SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
  }

  bool RunDispatcher(const std::string& name, ServiceMainFunction service_main) override {
    g_service_main.store(service_main);
    std::string service_name = name;
    SERVICE_TABLE_ENTRYA table[2] = {{&service_name[0], &ServiceMainThunk}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != 0;
  }

  bool RegisterControlHandler(const std::string& name, ServiceControlHandler handler,
                              ServiceStatusHandle* handle) override {
    g_control_handler.store(handler);
    const SERVICE_STATUS_HANDLE registered = RegisterServiceCtrlHandlerA(name.c_str(), &ControlHandlerThunk);
    if (registered == nullptr) return false;
    *handle = reinterpret_cast<ServiceStatusHandle>(registered);
    return true;
  }

  bool SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    SERVICE_STATUS raw{};
    raw.dwServiceType = status.type;
    raw.dwCurrentState = status.state;
    raw.dwControlsAccepted = status.controls_accepted;
    raw.dwWin32ExitCode = status.win32_exit_code;
    raw.dwServiceSpecificExitCode = status.service_exit_code;
    raw.dwCheckPoint = status.checkpoint;
    raw.dwWaitHint = status.wait_hint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &raw) != 0;
  }
};

}  // namespace

template <>
ServiceManager& Facility<ServiceManager>::Real() {
  static WinServiceManager instance;
  return instance;
}

}  // namespace orvalinth::platform
