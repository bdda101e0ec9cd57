#pragma once
// The system's TCP and UDP endpoint tables with the owning process of each
// endpoint, as the open-ports collector of the applications scan reads them.
//
// win32: "GetExtendedTcpTable" and "GetExtendedUdpTable", resolved by name
// from "iphlpapi.dll" (never unloaded), the owner-module tables (TCP class 8
// with 160- and 192-byte rows, UDP class 2 with 160- and 176-byte rows),
// each read by asking for its size and then once into a buffer of that size;
// the TCP-over-IPv6 size answer is taken as a count of 56-byte rows and
// converted to room for as many 192-byte rows.
// POSIX: real Linux data: /proc/net/tcp, tcp6, udp and udp6, each socket's
// owner found through its inode among the "socket:[inode]" links under
// /proc/<pid>/fd (pid 0 when no readable process holds it); the kernel's TCP
// states are given the numbers of the Windows table.

#include <cstdint>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

// The four tables, in the order they are read.
enum PortTableId : int {
  kPortTableTcp4 = 0,
  kPortTableTcp6 = 1,
  kPortTableUdp4 = 2,
  kPortTableUdp6 = 3,
};

// One row of a table. Addresses in network order (4 bytes used for IPv4);
// ports as the table gives them, in network order in the low 16 bits.
struct PortRow {
  uint8_t local_address[16] = {};
  uint32_t local_port = 0;
  uint8_t remote_address[16] = {};
  uint32_t remote_port = 0;
  uint32_t state = 0;  // TCP: the table's state number (2 listening, 5 established, ...); UDP: 0
  uint32_t pid = 0;
};

class PortTables : public Facility<PortTables> {
 public:
  virtual ~PortTables() = default;
  // Whether both table functions are there.
  virtual bool Available() = 0;
  // The rows of `table`; false when it cannot be read (the rows are then empty).
  virtual bool Read(PortTableId table, std::vector<PortRow>* rows) = 0;
};

template <>
PortTables& Facility<PortTables>::Real();

}  // namespace orvalinth::platform
