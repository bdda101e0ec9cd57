#include "record/apps/process_records.h"

#include "base/strings.h"

namespace orvalinth {

CXProcessMap::CXProcessMap(const CXProcessRecords& records) {
  by_pid_.reserve(records.size());
  for (const std::unique_ptr<SXProcessRecord>& record : records) by_pid_.emplace(record->pid, record.get());
}

const SXProcessRecord* CXProcessMap::Find(uint32_t pid) const {
  const auto found = by_pid_.find(pid);
  return found == by_pid_.end() ? nullptr : found->second;
}

void NameOwner(const CXProcessMap& processes, uint32_t pid, SXSnapshotDataAppsBase* item) {
  const SXProcessRecord* record = processes.Find(pid);
  if (record != nullptr && record->item != nullptr) {
    item->name = record->item->name;
    item->path = record->item->path;
  } else if (pid == 4) {
    item->name = u"System";
    item->path = u"-";
  } else if (pid == 0) {
    item->name = u"-";
    item->path = u"-";
  } else {
    item->name = Widen(Format("pid %u", pid));
    item->path = u"?";
  }
}

}  // namespace orvalinth
