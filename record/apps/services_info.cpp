#include "record/apps/services_info.h"

#include <memory>

#include "platform/errors.h"
#include "platform/services.h"
#include "record/command_path.h"
#include "storage/serialized_access.h"
#include "base/strings.h"

namespace orvalinth {
namespace {

// A query into the work buffer: true when it answered.
template <class Query>
bool QueryWithOneRetry(std::vector<uint64_t>* buffer, uint32_t first_size, Query query) {
  if (buffer->empty()) buffer->resize(first_size / sizeof(uint64_t));
  uint32_t needed = 0;
  if (query(buffer->data(), static_cast<uint32_t>(buffer->size() * sizeof(uint64_t)), &needed)) return true;
  if (platform::LastError() != platform::kErrorInsufficientBuffer) return false;
  const size_t words = (static_cast<size_t>(needed) + sizeof(uint64_t) - 1) / sizeof(uint64_t);
  if (words > buffer->size()) buffer->resize(words);
  return query(buffer->data(), static_cast<uint32_t>(buffer->size() * sizeof(uint64_t)), &needed);
}

}  // namespace

void CXServicesInfo::Run(SXAppsScanContext& context) {
  std::unique_ptr<platform::ServiceDatabase> manager;
  std::vector<platform::ServiceEntry> entries;
  if (platform::ServiceManager::Get().OpenManager(platform::kGenericRead, &manager) &&
      manager->Enumerate(platform::kServiceTypeAll, platform::kServiceStateAll, &entries)) {
    for (const platform::ServiceEntry& entry : entries) {
      if (context.StopRequested()) break;
      const bool driver = (entry.status.type & (platform::kServiceWin32OwnProcess |
                                                platform::kServiceWin32ShareProcess)) == 0;
      SXSnapshotDataAppsBase* item = driver ? drivers_.NewItem() : services_.NewItem();
      item->kind = driver ? kAppItemDriver : kAppItemService;
      item->source = kAppSourceUnread;
      item->state = static_cast<uint8_t>(entry.status.state & 0xFF);
      item->name = entry.display_name;
      std::unique_ptr<platform::Service> service;
      if (manager->Open(entry.name, platform::kGenericRead, &service)) {
        ReadConfiguration(*service, entry.name, item, context);
      }
      service.reset();  // closed before the next entry
      context.entries->Add(1);
    }
  }
  manager.reset();
  SXAppCategory& services = context.category(kAppServices);
  services.items_offset = services_.Flush(services.payload, true);
  SXAppCategory& drivers = context.category(kAppDrivers);
  drivers.items_offset = drivers_.Flush(drivers.payload, true);
}

void CXServicesInfo::ReadConfiguration(platform::Service& service, const std::u16string& name,
                                       SXSnapshotDataAppsBase* item, SXAppsScanContext& context) {
  platform::ServiceConfig config;
  if (!QueryWithOneRetry(&buffer_, kFirstBufferSize, [&](void* buffer, uint32_t size, uint32_t* needed) {
        return service.QueryConfig(buffer, size, needed, &config);
      })) {
    return;
  }
  if (!config.binary_path.empty()) {
    if (!Resolve(config.binary_path, item, context)) {
      item->path = config.binary_path;
      item->file.missing = 1;
    }
  } else if (item->kind == kAppItemService) {
    item->file.missing = 1;
  } else if (!Resolve(item->name + u".sys", item, context) &&
             (EqualsFolded(item->name, name) || !Resolve(name + u".sys", item, context))) {
    item->path.clear();
    item->arguments.clear();
    item->file.missing = 1;
  }
  item->source = static_cast<uint8_t>(config.start_type);
  std::u16string description;
  if (QueryWithOneRetry(&buffer_, kFirstBufferSize, [&](void* buffer, uint32_t size, uint32_t* needed) {
        return service.QueryDescription(buffer, size, needed, &description);
      })) {
    item->description = description;
  }
}

bool CXServicesInfo::Resolve(const std::u16string& command, SXSnapshotDataAppsBase* item,
                             SXAppsScanContext& context) {
  std::u16string path;
  std::u16string arguments;
  if (!ResolveCommandPath(command, &path, &arguments)) return false;
  item->path = path;
  item->arguments = arguments;
  context.LookUpFile(item->path, &item->file);
  return true;
}

}  // namespace orvalinth
