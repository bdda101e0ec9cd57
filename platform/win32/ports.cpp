// The TCP and UDP endpoint tables with their owners through the IP helper,
// resolved by name from "iphlpapi.dll" (see platform/ports.h).

#include "platform/ports.h"

#include <cstring>
#include <type_traits>

#include "platform/win32/win.h"

#include <iphlpapi.h>

namespace orvalinth::platform {
namespace {

using GetExtendedTableFn = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, int, ULONG);

struct Functions {
  GetExtendedTableFn tcp = nullptr;
  GetExtendedTableFn udp = nullptr;
};

// Loaded once and never unloaded.
const Functions& Loaded() {
  static const Functions functions = [] {
    Functions f;
    if (HMODULE library = LoadLibraryW(L"iphlpapi.dll")) {
      f.tcp = reinterpret_cast<GetExtendedTableFn>(reinterpret_cast<void*>(GetProcAddress(library, "GetExtendedTcpTable")));
      f.udp = reinterpret_cast<GetExtendedTableFn>(reinterpret_cast<void*>(GetProcAddress(library, "GetExtendedUdpTable")));
    }
    return f;
  }();
  return functions;
}

constexpr int kTcpOwnerModuleAll = 8;
constexpr int kUdpOwnerModule = 2;

// An IPv4 address (a DWORD) or an IPv6 one (16 bytes) as the table gives it.
template <class Address>
void CopyAddress(const Address& from, uint8_t* to) {
  static_assert(sizeof from == 4 || sizeof from == 16, "an IPv4 or IPv6 address");
  std::memcpy(to, &from, sizeof from);
}

// The rows of one of the four tables, which start after the count at the row
// type's alignment. Every row has its local end and owner; only TCP rows have
// a remote end and a state.
template <class Table>
void Rows(const std::vector<uint64_t>& buffer, DWORD size, std::vector<PortRow>* rows) {
  using Row = std::remove_extent_t<decltype(Table::table)>;
  constexpr bool kTcp = std::is_same_v<Row, MIB_TCPROW_OWNER_MODULE> || std::is_same_v<Row, MIB_TCP6ROW_OWNER_MODULE>;
  constexpr bool kV6 = std::is_same_v<Row, MIB_TCP6ROW_OWNER_MODULE> || std::is_same_v<Row, MIB_UDP6ROW_OWNER_MODULE>;
  const Table* table = reinterpret_cast<const Table*>(buffer.data());
  const size_t header =
      static_cast<size_t>(reinterpret_cast<const char*>(&table->table[0]) - reinterpret_cast<const char*>(table));
  if (size < header) return;
  const size_t room = (size - header) / sizeof(Row);
  const size_t count = table->dwNumEntries < room ? table->dwNumEntries : room;
  for (size_t i = 0; i < count; ++i) {
    const Row& r = table->table[i];
    PortRow row;
    if constexpr (kV6) {
      CopyAddress(r.ucLocalAddr, row.local_address);
      if constexpr (kTcp) CopyAddress(r.ucRemoteAddr, row.remote_address);
    } else {
      CopyAddress(r.dwLocalAddr, row.local_address);
      if constexpr (kTcp) CopyAddress(r.dwRemoteAddr, row.remote_address);
    }
    row.local_port = r.dwLocalPort;
    row.pid = r.dwOwningPid;
    if constexpr (kTcp) {
      row.remote_port = r.dwRemotePort;
      row.state = r.dwState;
    }
    rows->push_back(row);
  }
}

class WinPortTables final : public PortTables {
 public:
  bool Available() override { return Loaded().tcp != nullptr && Loaded().udp != nullptr; }

  bool Read(PortTableId id, std::vector<PortRow>* rows) override {
    rows->clear();
    const bool tcp = id == kPortTableTcp4 || id == kPortTableTcp6;
    const bool v6 = id == kPortTableTcp6 || id == kPortTableUdp6;
    GetExtendedTableFn read = tcp ? Loaded().tcp : Loaded().udp;
    const ULONG family = v6 ? AF_INET6 : AF_INET;
    const int table_class = tcp ? kTcpOwnerModuleAll : kUdpOwnerModule;
    DWORD size = 0;
    read(nullptr, &size, /*bOrder=*/FALSE, family, table_class, /*Reserved=*/0);
    // Endpoints come and go between the size question and the read: a table
    // that grew meanwhile is read again with room for the size it now gives.
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
      // The IPv6 TCP size answer counts rows of 56 bytes: make room for as many 192-byte rows.
      if (id == kPortTableTcp6 && size >= 8) size = (size - 8) / 56 * 192 + 8;
      size += size / 4;
      if (buffer_.size() * sizeof(uint64_t) < size) buffer_.assign((size + 7) / 8, 0);
      size = static_cast<DWORD>(buffer_.size() * sizeof(uint64_t));
      status = read(buffer_.data(), &size, FALSE, family, table_class, 0);
    }
    if (status != NO_ERROR) return false;
    switch (id) {
      case kPortTableTcp4: Rows<MIB_TCPTABLE_OWNER_MODULE>(buffer_, size, rows); break;
      case kPortTableTcp6: Rows<MIB_TCP6TABLE_OWNER_MODULE>(buffer_, size, rows); break;
      case kPortTableUdp4: Rows<MIB_UDPTABLE_OWNER_MODULE>(buffer_, size, rows); break;
      case kPortTableUdp6: Rows<MIB_UDP6TABLE_OWNER_MODULE>(buffer_, size, rows); break;
    }
    return true;
  }

 private:
  std::vector<uint64_t> buffer_;  // reused by every table
};

}  // namespace

template <>
PortTables& Facility<PortTables>::Real() {
  static WinPortTables instance;
  return instance;
}

}  // namespace orvalinth::platform
