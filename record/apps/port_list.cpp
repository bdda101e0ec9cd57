#include "record/apps/port_list.h"

#include <algorithm>
#include <cstring>

#include "base/strings.h"
#include "platform/ports.h"
#include "record/apps/app_item_list.h"

namespace orvalinth {
namespace {

uint16_t ToHostOrder(uint32_t network_port) {
  const uint32_t low = network_port & 0xFFFF;
  return static_cast<uint16_t>(((low & 0xFF) << 8) | (low >> 8));
}

void FillItem(const SXPortRecord& record, SXSnapshotDataAppsBase* item) {
  item->port_state = static_cast<uint8_t>(record.state);
  item->protocol = record.protocol;
  item->local = AddressBlock(record.protocol, record.local_address, record.local_port);
  item->remote = AddressBlock(record.protocol, record.remote_address, record.remote_port);
}

}  // namespace

SXAddrRecord AddressBlock(uint32_t protocol, const uint8_t* address, uint16_t port) {
  const int n = (protocol == kAppTcp4 || protocol == kAppUdp4) ? 4 : (protocol == kAppTcp6 || protocol == kAppUdp6) ? 16 : 0;
  if (n == 0) {
    SXAddrRecord none;
    none.port = port;
    return none;
  }
  return SXAddrRecord::Of(address, n, port);
}

const char16_t* TcpStateName(uint32_t state) {
  static const char16_t* const kNames[] = {u"",           u"CLOSED",    u"LISTENING", u"SYN_SENT",   u"SEN_RECEIVED",
                                           u"ESTABLISHED", u"FIN_WAIT",  u"FIN_WAIT2", u"CLOSE_WAIT", u"CLOSING",
                                           u"LAST_ACK",   u"TIME_WAIT", u"DELETE_TCB"};
  return state < sizeof(kNames) / sizeof(kNames[0]) ? kNames[state] : u"";
}

void CXPortList::Build(const CXProcessMap& processes) {
  records_.clear();
  platform::PortTables& tables = platform::PortTables::Get();
  if (!tables.Available()) return;
  static const struct {
    platform::PortTableId table;
    uint32_t protocol;
    bool tcp;
  } kTables[] = {
      {platform::kPortTableTcp4, kAppTcp4, true},
      {platform::kPortTableTcp6, kAppTcp6, true},
      {platform::kPortTableUdp4, kAppUdp4, false},
      {platform::kPortTableUdp6, kAppUdp6, false},
  };
  std::vector<platform::PortRow> rows;
  for (const auto& t : kTables) {
    rows.clear();
    if (!tables.Read(t.table, &rows)) continue;
    for (const platform::PortRow& row : rows) {
      SXPortRecord record;
      record.protocol = t.protocol;
      record.pid = row.pid;
      std::memcpy(record.local_address, row.local_address, sizeof record.local_address);
      record.local_port = ToHostOrder(row.local_port);
      if (t.tcp) {
        std::memcpy(record.remote_address, row.remote_address, sizeof record.remote_address);
        record.remote_port = ToHostOrder(row.remote_port);
        record.state = row.state;
      }
      const SXProcessRecord* owner = processes.Find(row.pid);
      if (owner != nullptr) record.owner_path = owner->path;
      records_.push_back(std::move(record));
    }
  }
  std::sort(records_.begin(), records_.end(), [](const SXPortRecord& a, const SXPortRecord& b) {
    if (a.pid != b.pid) return a.pid < b.pid;
    const int paths = CompareNames(a.owner_path, b.owner_path);
    if (paths != 0) return paths < 0;
    return a.protocol < b.protocol;
  });
}

void CXPortList::AddProcessItems(uint32_t pid, CXAppItemList* items) const {
  auto it = std::lower_bound(records_.begin(), records_.end(), pid,
                             [](const SXPortRecord& r, uint32_t p) { return r.pid < p; });
  for (; it != records_.end() && it->pid == pid; ++it) {
    SXSnapshotDataAppsBase* item = items->NewItem();
    item->kind = kAppItemProcessPort;
    item->path = it->owner_path;
    FillItem(*it, item);
  }
}

void CXPortList::WriteCategory(SXAppsScanContext& context, const CXProcessMap& processes) const {
  CXAppItemList items;
  for (const SXPortRecord& record : records_) {
    SXSnapshotDataAppsBase* item = items.NewItem();
    item->kind = kAppItemPort;
    NameOwner(processes, record.pid, item);
    FillItem(record, item);
  }
  SXAppCategory& category = context.category(kAppPorts);
  category.items_offset = items.Flush(category.payload, true);
}

}  // namespace orvalinth
