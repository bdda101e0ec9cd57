#include "tools/report/agent_link.h"

#include "base/strings.h"
#include "storage/app_items.h"
#include "tools/report/snapshot_stream.h"

namespace orvalinth::report {
namespace {

constexpr uint8_t kPortItem = 9;         // an item of "Opened Ports"
constexpr uint8_t kProcessPortItem = 7;  // a port under a process of "Running Processes"

bool IsTcp(const SXReadItem& item) {
  return (item.kind == kPortItem || item.kind == kProcessPortItem) && (item.protocol == 1 || item.protocol == 3);
}

bool Same(const SXReadAddress& a, const SXReadAddress& b) {
  return a.length_code == b.length_code && a.port == b.port && a.bytes == b.bytes;
}

bool IsAgent(const std::u16string& path) {
  size_t cut = path.find_last_of(u"\\/");
  const std::u16string name = cut == std::u16string::npos ? path : path.substr(cut + 1);
  return EqualsFolded(name, u"OrvalinthSrv.exe") || EqualsFolded(name, u"OrvalinthSrv");
}

}  // namespace

void CXAgentLink::Find(CXSnapshotStream& snapshot) {
  const std::vector<CXSnapshotStream::Section>& sections = snapshot.sections();
  for (size_t i = 0; i < sections.size(); ++i) {
    if (sections[i].kind != kReadApplications || !EqualsFolded(sections[i].name, kAppCategoryNames[kAppPorts])) {
      continue;
    }
    std::unique_ptr<CXSectionView> view = snapshot.Load(i);
    for (const SXReadItem& item : view->Items(view->root())) {
      // A connection, not a listener: it has a remote end.
      if (!IsTcp(item) || !IsAgent(item.path) || item.remote.port == 0) continue;
      ends_.emplace_back(item.local, item.remote);
      ends_.emplace_back(item.remote, item.local);
    }
  }
}

bool CXAgentLink::Holds(const SXReadItem& item) const {
  if (ends_.empty() || !IsTcp(item)) return false;
  for (const auto& end : ends_) {
    if (Same(end.first, item.local) && Same(end.second, item.remote)) return true;
  }
  return false;
}

}  // namespace orvalinth::report
