#include "record/apps/handle_table.h"

#include <algorithm>
#include <memory>

#include "base/log.h"
#include "base/strings.h"
#include "platform/handles.h"
#include "platform/privileges.h"
#include "platform/volume_devices.h"
#include "record/apps/app_item_list.h"
#include "record/apps/name_query_worker.h"
#include "storage/file_records.h"

namespace orvalinth {
namespace {

constexpr char16_t kHarddiskVolume[] = u"\\Device\\HarddiskVolume";
constexpr size_t kHarddiskVolumeLength = sizeof(kHarddiskVolume) / sizeof(char16_t) - 1;

uint32_t TypeCode(const std::u16string& type) {
  if (EqualsFolded(type, u"key")) return kHandleKey;
  if (EqualsFolded(type, u"file")) return kHandleFile;
  if (EqualsFolded(type, u"directory")) return kHandleFolder;
  return kHandleOther;
}

// `prefix` followed by the end of `name` or "\" (A-Z case ignored).
bool HasRootPrefix(const std::u16string& name, std::u16string_view prefix) {
  return StartsWithFolded(name, prefix) && (name.size() == prefix.size() || name[prefix.size()] == u'\\');
}

constexpr uint32_t kDirectoryAttribute = 0x10;

// A file handle whose object is a folder on disk is a folder handle.
void LookUpObject(const SXAppsScanContext& context, SXSnapshotDataAppsBase* item) {
  if (context.LookUpFile(item->object_name, &item->object_file) == 1 && item->handle_type == kHandleFile &&
      (item->object_file.attributes & kDirectoryAttribute) != 0) {
    item->handle_type = kHandleFolder;
  }
}

}  // namespace

void CXVolumeMap::Fill(const std::vector<platform::VolumeEntry>& entries) {
  const std::string prefix = Narrow(kHarddiskVolume);
  for (const platform::VolumeEntry& entry : entries) {
    if (entry.mount.size() != 3 || entry.mount[1] != ':') continue;
    if (!StartsWithFolded(std::string_view(entry.device), prefix)) continue;
    int number = 0;
    size_t i = prefix.size();
    if (i >= entry.device.size()) continue;
    for (; i < entry.device.size() && entry.device[i] >= '0' && entry.device[i] <= '9' && number < kSize; ++i) {
      number = number * 10 + (entry.device[i] - '0');
    }
    if (number < kSize) letters_[number] = entry.mount[0];
  }
}

std::u16string TranslateObjectName(const std::u16string& name, const CXVolumeMap& volumes) {
  if (name.empty() || name[0] != u'\\') return name;
  static constexpr std::u16string_view kMachine = u"\\REGISTRY\\MACHINE";
  static constexpr std::u16string_view kUser = u"\\REGISTRY\\USER";
  if (HasRootPrefix(name, kMachine)) return u"HKLM" + name.substr(kMachine.size());
  if (HasRootPrefix(name, kUser)) return u"HKU" + name.substr(kUser.size());
  // The DOS-device form of a drive path, which Wine gives for files.
  if (name.size() >= 7 && name.compare(0, 4, u"\\??\\") == 0 && name[5] == u':' && name[6] == u'\\') {
    return name.substr(4);
  }
  if (StartsWithFolded(name, std::u16string_view(kHarddiskVolume, kHarddiskVolumeLength))) {
    size_t i = kHarddiskVolumeLength;
    int number = 0;
    while (i < name.size() && i < kHarddiskVolumeLength + 2 && name[i] >= u'0' && name[i] <= u'9') {
      number = number * 10 + (name[i] - u'0');
      ++i;
    }
    const char letter = volumes.Letter(number);
    if (i > kHarddiskVolumeLength && i < name.size() && name[i] == u'\\' && letter != 0) {
      return std::u16string(1, static_cast<char16_t>(letter)) + u":" + name.substr(i);
    }
  }
  return name;
}

void CXHandleTable::Build() {
  records_.clear();
  error_.clear();
  CXVolumeMap volumes;
  std::vector<platform::VolumeEntry> entries;
  std::string volume_error;  // what was found is used; the text is not shown
  platform::VolumeDevices::Get().List(&entries, &volume_error);
  volumes.Fill(entries);

  platform::EnableTokenPrivilege("SeDebugPrivilege");  // failure leaves fewer processes open to us
  platform::HandleTable& system = platform::HandleTable::Get();
  std::vector<platform::SystemHandleEntry> handles;
  if (!system.Entries(&handles, &error_)) return;
  const bool skip_files = system.SkipFileHandles();
  std::vector<uint32_t> pids;
  for (const platform::SystemHandleEntry& entry : handles) {
    if (pids.empty() || pids.back() != entry.pid) pids.push_back(entry.pid);
  }
  std::sort(pids.begin(), pids.end());
  hung_.KeepProcesses(pids);
  CXNameQueryWorker worker(name_timeout_ms_, hung_);
  records_.reserve(512);
  std::unique_ptr<platform::HandleOwner> owner;
  bool have_owner = false;
  uint32_t owner_pid = 0;
  for (const platform::SystemHandleEntry& entry : handles) {
    if (!have_owner || entry.pid != owner_pid) {
      owner.reset();  // one open process at a time
      owner = system.OpenOwner(entry.pid);
      owner_pid = entry.pid;
      have_owner = true;
    }
    if (owner == nullptr) continue;
    std::shared_ptr<platform::DuplicatedHandle> duplicate = owner->Duplicate(entry.handle);
    if (duplicate == nullptr) continue;
    std::u16string type_name;
    if (!duplicate->TypeName(&type_name)) continue;
    const uint32_t type = TypeCode(type_name);
    if (type == kHandleOther || (type == kHandleFile && skip_files)) continue;
    std::u16string name;
    if (!worker.Query(duplicate, {entry.pid, entry.handle, entry.access, type}, &name) || name.empty()) continue;
    SXHandleRecord record;
    record.pid = entry.pid;
    record.handle = entry.handle;
    record.type = type;
    record.object_name = std::move(name);
    records_.push_back(std::move(record));
  }
  owner.reset();
  replaced_workers_ = worker.replaced();
  name_wait_us_ = worker.wait_us();
  unnamed_ = worker.skipped_capped() + worker.start_failures();
  if (worker.skipped_capped() != 0) {
    LogError("handle names: %d name queries still blocked; %d handles taken without a name in this scan",
             CXHungHandles::kMaxAbandoned, worker.skipped_capped());
  }
  if (worker.start_failures() != 0) {
    LogError("handle names: cannot start a name-query thread; %d handles taken without a name in this scan",
             worker.start_failures());
  }

  for (SXHandleRecord& record : records_) record.object_name = TranslateObjectName(record.object_name, volumes);
  std::sort(records_.begin(), records_.end(), [](const SXHandleRecord& a, const SXHandleRecord& b) {
    if (a.pid != b.pid) return a.pid < b.pid;
    const int names = CompareNames(a.object_name, b.object_name);
    if (names != 0) return names < 0;
    return a.type < b.type;
  });
}

int32_t CXHandleTable::FirstOf(uint32_t pid) const {
  const auto first = std::lower_bound(records_.begin(), records_.end(), pid,
                                      [](const SXHandleRecord& r, uint32_t p) { return r.pid < p; });
  if (first == records_.end() || first->pid != pid) return -1;
  return static_cast<int32_t>(first - records_.begin());
}

void CXHandleTable::WriteCategory(SXAppsScanContext& context, const CXProcessMap& processes) const {
  struct Row {
    const SXHandleRecord* record;
    std::u16string owner;
  };
  std::vector<Row> rows;
  rows.reserve(records_.size());
  for (const SXHandleRecord& record : records_) {
    const SXProcessRecord* process = processes.Find(record.pid);
    rows.push_back({&record, process != nullptr ? process->path : Widen(Format("%u", record.pid))});
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    int order = CompareNames(a.owner, b.owner);
    if (order == 0) order = CompareNames(a.record->object_name, b.record->object_name);
    if (order != 0) return order < 0;
    return a.record->type < b.record->type;
  });
  CXAppItemList items;
  const Row* previous = nullptr;
  for (const Row& row : rows) {
    if (previous != nullptr && EqualsFolded(previous->owner, row.owner) &&
        EqualsFolded(previous->record->object_name, row.record->object_name)) {
      continue;
    }
    previous = &row;
    SXSnapshotDataAppsBase* item = items.NewItem();
    item->kind = kAppItemHandle;
    item->handle_type = row.record->type;
    item->object_name = row.record->object_name;
    LookUpObject(context, item);
    NameOwner(processes, row.record->pid, item);
    context.LookUpFile(item->path, &item->file);
  }
  SXAppCategory& category = context.category(kAppHandles);
  category.items_offset = items.Flush(category.payload, true);
}

void CXHandleTable::AddProcessItems(const SXAppsScanContext& context, uint32_t pid, CXAppItemList* items) const {
  const int32_t first = FirstOf(pid);
  if (first < 0) return;
  const std::u16string* previous = nullptr;
  for (size_t i = static_cast<size_t>(first); i < records_.size() && records_[i].pid == pid; ++i) {
    const SXHandleRecord& record = records_[i];
    if (previous != nullptr && *previous == record.object_name) continue;
    previous = &record.object_name;
    SXSnapshotDataAppsBase* item = items->NewItem();
    item->kind = kAppItemProcessHandle;
    item->handle_type = record.type;
    item->object_name = record.object_name;
    LookUpObject(context, item);
  }
}

}  // namespace orvalinth
