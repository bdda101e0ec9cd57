#pragma once
// SXProcessRecord: one running process as the processes collector found it,
// and the look-up by pid that the handles and ports collectors name their
// items with.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/app_items.h"

namespace orvalinth {

struct SXProcessRecord {
  uint32_t pid = 0;
  std::u16string path;       // the resolved executable
  std::u16string arguments;  // of its command line
  std::vector<std::u16string> modules;  // resolved module paths, the main executable left out ("" unresolved)
  const SXSnapshotDataAppsBase* item = nullptr;  // the process's item, once made
};

using CXProcessRecords = std::vector<std::unique_ptr<SXProcessRecord>>;

// Pid to record (the first record of a pid wins).
class CXProcessMap {
 public:
  explicit CXProcessMap(const CXProcessRecords& records);
  const SXProcessRecord* Find(uint32_t pid) const;

 private:
  std::unordered_map<uint32_t, const SXProcessRecord*> by_pid_;
};

// Gives `item` the name and path of the owner `pid`: those of the process's
// item when it has one; else pid 4 is "System" with path "-", pid 0 "-" with
// "-", and any other "pid <n>" with "?".
void NameOwner(const CXProcessMap& processes, uint32_t pid, SXSnapshotDataAppsBase* item);

}  // namespace orvalinth
