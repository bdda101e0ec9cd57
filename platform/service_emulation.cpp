#include "platform/service_emulation.h"

#include <chrono>

#include "platform/errors.h"

namespace orvalinth::platform {
namespace {

using Behaviour = EmulatedServiceManager::Behaviour;

// Service names ignore A-Z case, as the real manager's do.
std::u16string Key(const std::u16string& name) {
  std::u16string key = name;
  for (char16_t& c : key) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  return key;
}

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

bool Succeed() {
  SetLastError(kErrorSuccess);
  return true;
}

// GENERIC_READ as the real manager maps it.
uint32_t ManagerRights(uint32_t access) {
  return (access & kGenericRead) != 0 ? (access & ~kGenericRead) | 0x20014u : access;
}
uint32_t ServiceRights(uint32_t access) {
  return (access & kGenericRead) != 0 ? (access & ~kGenericRead) | 0x2008Du : access;
}

// Bytes a text takes in a configuration record, with its terminator.
uint32_t TextBytes(const std::u16string& text) { return static_cast<uint32_t>(2 * (text.size() + 1)); }

// Answers a query that wants `wanted` bytes in a buffer of `size`.
bool Fits(uint32_t wanted, uint32_t size, uint32_t* needed) {
  *needed = wanted;
  if (size < wanted) return Fail(kErrorInsufficientBuffer);
  return true;
}

struct Record {
  ServiceStatusHandle id = 0;
  ServiceConfig config;
  bool has_description = false;
  std::u16string description;
  ServiceStatus status;
  int pending_left = 0;  // status queries still answered with the pending state (simulated)
  bool marked = false;
  int handles = 0;
  bool hosted = false;  // the current run is a hosted entry
  ServiceControlHandler handler = nullptr;
};

}  // namespace

struct EmulatedServiceManager::Core {
  std::mutex lock;
  std::condition_variable changed;
  uint32_t manager_rights = kScManagerAllAccess;
  uint32_t service_rights = kServiceAllAccess;
  std::map<std::u16string, std::shared_ptr<Record>> services;  // by Key(name)
  std::map<ServiceStatusHandle, std::weak_ptr<Record>> by_handle;
  std::map<std::u16string, Behaviour> behaviours;
  std::map<std::u16string, ServiceMainFunction> hosts;
  std::map<std::u16string, std::vector<uint32_t>> reported;
  std::map<std::u16string, std::vector<uint32_t>> controls;
  std::map<std::u16string, int> running_entries;
  std::vector<std::thread> threads;
  ServiceStatusHandle next_id = 1;
  uint32_t next_pid = 0x1000;

  // Lock held for all below.
  std::shared_ptr<Record> Find(const std::u16string& name) {
    auto it = services.find(Key(name));
    return it == services.end() ? nullptr : it->second;
  }

  Behaviour BehaviourOf(const Record& record) {
    auto it = behaviours.find(Key(record.config.name));
    return it == behaviours.end() ? Behaviour() : it->second;
  }

  // A service marked for deletion goes once it is stopped and unused.
  void RemoveIfDone(const std::shared_ptr<Record>& record) {
    if (!record->marked || record->handles != 0 || record->status.state != kServiceStopped) return;
    auto it = services.find(Key(record->config.name));
    if (it != services.end() && it->second == record) services.erase(it);
    by_handle.erase(record->id);
  }

  void EnterStopped(const std::shared_ptr<Record>& record, uint32_t exit_code) {
    record->status.state = kServiceStopped;
    record->status.controls_accepted = 0;
    record->status.win32_exit_code = exit_code;
    record->status.process_id = 0;
    RemoveIfDone(record);
    changed.notify_all();
  }

  // The simulated service leaves a pending state.
  void FinishPending(const std::shared_ptr<Record>& record) {
    if (record->status.state == kServiceStartPending) {
      if (BehaviourOf(*record).fails_to_start) {
        EnterStopped(record, kErrorProcessAborted);
        return;
      }
      record->status.state = kServiceRunning;
      record->status.controls_accepted = kServiceAcceptStop | kServiceAcceptShutdown;
      changed.notify_all();
    } else if (record->status.state == kServiceStopPending) {
      EnterStopped(record, 0);
    }
  }

  // A hosted entry has returned: its "process" ends.
  void EntryReturned(const std::shared_ptr<Record>& record) {
    std::lock_guard<std::mutex> guard(lock);
    --running_entries[Key(record->config.name)];
    record->hosted = false;
    record->handler = nullptr;
    if (record->status.state != kServiceStopped) {
      EnterStopped(record, kErrorProcessAborted);
    } else {
      record->status.process_id = 0;
      RemoveIfDone(record);
      changed.notify_all();
    }
  }
};

namespace {

using Core = EmulatedServiceManager::Core;

// The right a control needs; 0 for a control that cannot be sent.
uint32_t RightFor(uint32_t control) {
  switch (control) {
    case kServiceControlStop: return kServiceStop;
    case kServiceControlInterrogate: return kServiceInterrogate;
    case kServiceControlPause:
    case kServiceControlContinue: return 0x40;  // SERVICE_PAUSE_CONTINUE
    default: return control >= 128 && control <= 255 ? 0x100u : 0u;  // SERVICE_USER_DEFINED_CONTROL
  }
}

class EmulatedService final : public Service {
 public:
  EmulatedService(std::shared_ptr<Core> core, std::shared_ptr<Record> record, uint32_t access)
      : core_(std::move(core)), record_(std::move(record)), access_(access) {}

  ~EmulatedService() override {
    std::lock_guard<std::mutex> guard(core_->lock);
    --record_->handles;
    core_->RemoveIfDone(record_);
    core_->changed.notify_all();
  }

  bool Start() override {
    std::lock_guard<std::mutex> guard(core_->lock);
    if ((access_ & kServiceStart) == 0) return Fail(kErrorAccessDenied);
    if (record_->marked) return Fail(kErrorServiceMarkedForDelete);
    if (record_->status.state != kServiceStopped) return Fail(kErrorServiceAlreadyRunning);
    const std::u16string key = Key(record_->config.name);
    ServiceStatus& status = record_->status;
    status = ServiceStatus();
    status.type = record_->config.type;
    status.state = kServiceStartPending;
    status.process_id = core_->next_pid;
    core_->next_pid += 4;
    core_->reported[key].clear();
    auto host = core_->hosts.find(key);
    if (host != core_->hosts.end()) {
      record_->hosted = true;
      ++core_->running_entries[key];
      std::shared_ptr<Core> core = core_;
      std::shared_ptr<Record> record = record_;
      ServiceMainFunction entry = host->second;
      core_->threads.emplace_back([core, record, entry] {
        entry();
        core->EntryReturned(record);
      });
    } else {
      record_->pending_left = core_->BehaviourOf(*record_).start_pending_queries;
      if (record_->pending_left == 0) core_->FinishPending(record_);
    }
    core_->changed.notify_all();
    return Succeed();
  }

  bool Control(uint32_t control, ServiceStatus* status) override {
    std::unique_lock<std::mutex> guard(core_->lock);
    const uint32_t right = RightFor(control);
    if (right == 0) return Fail(kErrorInvalidParameter);
    if ((access_ & right) == 0) return Fail(kErrorAccessDenied);
    core_->controls[Key(record_->config.name)].push_back(control);
    *status = record_->status;
    const uint32_t state = record_->status.state;
    if (state == kServiceStopped) return Fail(kErrorServiceNotActive);
    if (control == kServiceControlStop && (record_->status.controls_accepted & kServiceAcceptStop) == 0) {
      const bool pending = state == kServiceStartPending || state == kServiceStopPending;
      return Fail(pending ? uint32_t{kErrorServiceCannotAcceptControl} : uint32_t{kErrorInvalidServiceControl});
    }
    if (record_->hosted) {
      const ServiceControlHandler handler = record_->handler;
      if (handler == nullptr) return Fail(kErrorServiceCannotAcceptControl);
      // The real manager waits while the handler runs; the handler reports
      // through SetStatus, which takes the lock.
      guard.unlock();
      handler(control);
      guard.lock();
    } else if (control == kServiceControlStop) {
      record_->status.state = kServiceStopPending;
      record_->status.controls_accepted = 0;
      record_->pending_left = core_->BehaviourOf(*record_).stop_pending_queries;
      if (record_->pending_left == 0) core_->FinishPending(record_);
      core_->changed.notify_all();
    }
    *status = record_->status;
    return Succeed();
  }

  bool QueryStatus(ServiceStatus* status) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    if ((access_ & kServiceQueryStatus) == 0) return Fail(kErrorAccessDenied);
    const uint32_t state = record_->status.state;
    if (!record_->hosted && (state == kServiceStartPending || state == kServiceStopPending)) {
      if (record_->pending_left == 0) {
        core_->FinishPending(record_);
      } else if (record_->pending_left > 0) {
        --record_->pending_left;
      }
    }
    *status = record_->status;
    return Succeed();
  }

  bool Delete() override {
    std::lock_guard<std::mutex> guard(core_->lock);
    if ((access_ & kServiceDelete) == 0) return Fail(kErrorAccessDenied);
    if (record_->marked) return Fail(kErrorServiceMarkedForDelete);
    record_->marked = true;
    return Succeed();
  }

  bool QueryConfig(void*, uint32_t size, uint32_t* needed, ServiceConfig* config) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    *needed = 0;
    if ((access_ & kServiceQueryConfig) == 0) return Fail(kErrorAccessDenied);
    const uint32_t error = core_->BehaviourOf(*record_).config_error;
    if (error != 0) return Fail(error);
    const ServiceConfig& c = record_->config;
    const std::u16string display = c.display_name.empty() ? c.name : c.display_name;
    const std::u16string account = c.account.empty() ? u"LocalSystem" : c.account;
    uint32_t wanted = 64 + TextBytes(c.binary_path) + TextBytes(c.load_order_group) + TextBytes(display) +
                      TextBytes(account) + 2;
    for (const std::u16string& name : c.dependencies) wanted += TextBytes(name);
    if (!Fits(wanted, size, needed)) return false;
    const std::u16string name = config->name;
    *config = c;
    config->name = name;
    config->display_name = display;
    config->account = account;
    config->password.clear();
    return Succeed();
  }

  bool QueryDescription(void*, uint32_t size, uint32_t* needed, std::u16string* description) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    *needed = 0;
    if ((access_ & kServiceQueryConfig) == 0) return Fail(kErrorAccessDenied);
    const bool has = record_->has_description;
    if (!Fits(8 + (has ? TextBytes(record_->description) : 0), size, needed)) return false;
    *description = has ? record_->description : std::u16string();
    return Succeed();
  }

 private:
  std::shared_ptr<Core> core_;
  std::shared_ptr<Record> record_;
  uint32_t access_;
};

class EmulatedDatabase final : public ServiceDatabase {
 public:
  EmulatedDatabase(std::shared_ptr<Core> core, uint32_t access) : core_(std::move(core)), access_(access) {}

  bool Create(const ServiceConfig& config, uint32_t access, std::unique_ptr<Service>* service) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    if ((access_ & kScManagerCreateService) == 0) return Fail(kErrorAccessDenied);
    if (config.name.empty() || config.name.find_first_of(u"/\\") != std::u16string::npos) {
      return Fail(kErrorInvalidName);
    }
    if (config.binary_path.empty()) return Fail(kErrorInvalidParameter);
    if (std::shared_ptr<Record> existing = core_->Find(config.name)) {
      return Fail(existing->marked ? uint32_t{kErrorServiceMarkedForDelete} : uint32_t{kErrorServiceExists});
    }
    if ((access & ~core_->service_rights) != 0) return Fail(kErrorAccessDenied);
    auto record = std::make_shared<Record>();
    record->id = core_->next_id++;
    record->config = config;
    record->status.type = config.type;
    record->status.state = kServiceStopped;
    core_->services[Key(config.name)] = record;
    core_->by_handle[record->id] = record;
    ++record->handles;
    *service = std::make_unique<EmulatedService>(core_, record, access);
    return Succeed();
  }

  bool Open(const std::u16string& name, uint32_t access, std::unique_ptr<Service>* service) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    if ((access_ & kScManagerConnect) == 0) return Fail(kErrorAccessDenied);
    std::shared_ptr<Record> record = core_->Find(name);
    if (record == nullptr) return Fail(kErrorServiceDoesNotExist);
    access = ServiceRights(access);
    if ((access & ~core_->service_rights) != 0) return Fail(kErrorAccessDenied);
    ++record->handles;
    *service = std::make_unique<EmulatedService>(core_, record, access);
    return Succeed();
  }

  bool Enumerate(uint32_t types, uint32_t states, std::vector<ServiceEntry>* entries) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    entries->clear();
    if ((access_ & kScManagerEnumerateService) == 0) return Fail(kErrorAccessDenied);
    if (states == 0 || (states & ~uint32_t{kServiceStateAll}) != 0) return Fail(kErrorInvalidParameter);
    for (const auto& [key, record] : core_->services) {
      if ((record->config.type & types) == 0) continue;
      const bool stopped = record->status.state == kServiceStopped;
      if ((states & (stopped ? kServiceStateInactive : kServiceStateActive)) == 0) continue;
      ServiceEntry entry;
      entry.name = record->config.name;
      entry.display_name = record->config.display_name.empty() ? record->config.name : record->config.display_name;
      entry.status = record->status;
      entry.status.process_id = 0;
      entries->push_back(std::move(entry));
    }
    return Succeed();
  }

 private:
  std::shared_ptr<Core> core_;
  uint32_t access_;
};

}  // namespace

EmulatedServiceManager::EmulatedServiceManager() : core_(std::make_shared<Core>()) {}

EmulatedServiceManager::~EmulatedServiceManager() {
  // A hosted entry still running (a test that failed half-way) is asked to
  // stop, so that its thread can be joined.
  std::vector<ServiceControlHandler> handlers;
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    for (auto& entry : core_->services) {
      const Record& record = *entry.second;
      if (record.hosted && record.handler != nullptr && record.status.state != kServiceStopped) {
        handlers.push_back(record.handler);
      }
    }
    threads.swap(core_->threads);
  }
  for (ServiceControlHandler handler : handlers) handler(kServiceControlStop);
  for (std::thread& thread : threads) thread.join();
}

bool EmulatedServiceManager::OpenManager(uint32_t access, std::unique_ptr<ServiceDatabase>* database) {
  std::lock_guard<std::mutex> guard(core_->lock);
  access = ManagerRights(access);
  if ((access & ~core_->manager_rights) != 0) return Fail(kErrorAccessDenied);
  // Connecting is implied by opening the manager at all.
  *database = std::make_unique<EmulatedDatabase>(core_, access | kScManagerConnect);
  return Succeed();
}

bool EmulatedServiceManager::WriteDescription(const std::u16string& name, const std::u16string& description) {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::shared_ptr<Record> record = core_->Find(name);
  if (record == nullptr) return Fail(kErrorFileNotFound);
  record->has_description = true;
  record->description = description;
  return Succeed();
}

bool EmulatedServiceManager::RunDispatcher(const std::string&, ServiceMainFunction) {
  return Fail(kErrorFailedServiceControllerConnect);
}

bool EmulatedServiceManager::RegisterControlHandler(const std::string& name, ServiceControlHandler handler,
                                                    ServiceStatusHandle* handle) {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::shared_ptr<Record> record = core_->Find(std::u16string(name.begin(), name.end()));
  if (record == nullptr) return Fail(kErrorServiceDoesNotExist);
  record->handler = handler;
  *handle = record->id;
  return Succeed();
}

bool EmulatedServiceManager::SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  std::lock_guard<std::mutex> guard(core_->lock);
  auto it = core_->by_handle.find(handle);
  std::shared_ptr<Record> record = it == core_->by_handle.end() ? nullptr : it->second.lock();
  if (record == nullptr) return Fail(kErrorInvalidHandle);
  core_->reported[Key(record->config.name)].push_back(status.state);
  const uint32_t process_id = record->status.process_id;
  record->status = status;
  record->status.process_id = status.state == kServiceStopped ? 0 : process_id;
  if (status.state == kServiceStopped) core_->RemoveIfDone(record);
  core_->changed.notify_all();
  return Succeed();
}

void EmulatedServiceManager::SetGrantedRights(uint32_t manager_rights, uint32_t service_rights) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->manager_rights = manager_rights;
  core_->service_rights = service_rights;
}

void EmulatedServiceManager::SetBehaviour(const std::u16string& name, const Behaviour& behaviour) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->behaviours[Key(name)] = behaviour;
}

void EmulatedServiceManager::Host(const std::u16string& name, ServiceMainFunction service_main) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->hosts[Key(name)] = service_main;
}

void EmulatedServiceManager::Install(const ServiceConfig& config, uint32_t state) {
  std::lock_guard<std::mutex> guard(core_->lock);
  auto record = std::make_shared<Record>();
  record->id = core_->next_id++;
  record->config = config;
  record->status.type = config.type;
  record->status.state = state;
  if (state != kServiceStopped) {
    record->status.controls_accepted = kServiceAcceptStop | kServiceAcceptShutdown;
    record->status.process_id = core_->next_pid;
    core_->next_pid += 4;
  }
  core_->services[Key(config.name)] = record;
  core_->by_handle[record->id] = record;
  core_->changed.notify_all();
}

bool EmulatedServiceManager::Exists(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->Find(name) != nullptr;
}

bool EmulatedServiceManager::Config(const std::u16string& name, ServiceConfig* config) {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::shared_ptr<Record> record = core_->Find(name);
  if (record == nullptr) return false;
  *config = record->config;
  return true;
}

bool EmulatedServiceManager::Description(const std::u16string& name, std::u16string* description) {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::shared_ptr<Record> record = core_->Find(name);
  if (record == nullptr || !record->has_description) return false;
  *description = record->description;
  return true;
}

bool EmulatedServiceManager::MarkedForDeletion(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::shared_ptr<Record> record = core_->Find(name);
  return record != nullptr && record->marked;
}

bool EmulatedServiceManager::Status(const std::u16string& name, ServiceStatus* status) {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::shared_ptr<Record> record = core_->Find(name);
  if (record == nullptr) return false;
  *status = record->status;
  return true;
}

std::vector<uint32_t> EmulatedServiceManager::ReportedStates(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->reported[Key(name)];
}

std::vector<uint32_t> EmulatedServiceManager::Controls(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->controls[Key(name)];
}

bool EmulatedServiceManager::WaitForState(const std::u16string& name, uint32_t state, int timeout_ms) {
  std::unique_lock<std::mutex> guard(core_->lock);
  return core_->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
    std::shared_ptr<Record> record = core_->Find(name);
    return record != nullptr && record->status.state == state;
  });
}

bool EmulatedServiceManager::WaitForEntryEnd(const std::u16string& name, int timeout_ms) {
  std::unique_lock<std::mutex> guard(core_->lock);
  return core_->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                 [&] { return core_->running_entries[Key(name)] == 0; });
}

}  // namespace orvalinth::platform
