#pragma once
// The open ports of the machine: the TCP and UDP endpoints over IPv4 and
// IPv6 with their owning processes. Built during the processes phase of the
// applications scan; the processes collector puts each process's ports under
// its node, and this unit writes the category "Opened Ports".
//
// Building the list: the four tables in order (TCP over IPv4, TCP over IPv6,
// UDP over IPv4, UDP over IPv6; protocols 1, 3, 2, 4), every row one record
// with its ports turned to host order (UDP rows: no remote end, state 0);
// none when the table functions are missing, a table that cannot be read
// adds nothing. Each record gets the path of its owner's process record
// (empty when the pid has none); the list is sorted by pid, owner path (A-Z
// case ignored) and protocol.
//
// "Opened Ports": one kind-9 item per record, no merging, named after its
// owner (NameOwner), with the port state, protocol and address blocks; no
// file is looked up. The run is written sorted as offset B; offset A stays 0.

#include <cstdint>
#include <string>
#include <vector>

#include "record/apps/apps_scan.h"
#include "record/apps/process_records.h"

namespace orvalinth {

class CXAppItemList;

struct SXPortRecord {
  uint32_t protocol = 0;  // kAppTcp4, kAppUdp4, kAppTcp6, kAppUdp6
  uint8_t local_address[16] = {};  // network order; 4 bytes used for IPv4
  uint16_t local_port = 0;         // host order
  uint8_t remote_address[16] = {};
  uint16_t remote_port = 0;
  uint32_t state = 0;  // TCP state number; 0 for UDP
  uint32_t pid = 0;
  std::u16string owner_path;
};

// The address block of an item: 4 address bytes for protocols 1 and 2, 16
// for 3 and 4 (none for any other), with the length codes of SXAddrRecord.
SXAddrRecord AddressBlock(uint32_t protocol, const uint8_t* address, uint16_t port);

// The display name of a TCP state number ("" for 0, "LISTENING" for 2,
// ...; "" beyond 12).
const char16_t* TcpStateName(uint32_t state);

class CXPortList {
 public:
  void Build(const CXProcessMap& processes);
  // Appends the kind-7 items of `pid` (path = the record's owner path).
  void AddProcessItems(uint32_t pid, CXAppItemList* items) const;
  void WriteCategory(SXAppsScanContext& context, const CXProcessMap& processes) const;

  const std::vector<SXPortRecord>& records() const { return records_; }

 private:
  std::vector<SXPortRecord> records_;
};

}  // namespace orvalinth
