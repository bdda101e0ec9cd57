#pragma once
// A machine's inventory from a snapshot of its applications: its installed
// programs, services, drivers and startup entries, one SXInventoryRow each
// (catalog.h), for the fleet's searches. The snapshot is read a section at a
// time and a node's run at a time (tools/report/snapshot_stream.h), never
// whole, and as untrustingly as every other reading of an agent's file.
//
// What a row holds, by category:
//   "Programs"  installed programs: the name, the install folder, the version;
//               programs found or registered: the name, the file, the description
//   "Services", "Drivers"
//               the name, the command line (path and arguments), the start type
//               and state ("automatic, running")
//   "Startup"   the name, the command line, where it starts from (the key or
//               folder it is listed under)

#include <string>
#include <vector>

#include "server/catalog.h"

namespace orvalinth::server {

// 1 with *rows (uid 0: the caller's to set) when the snapshot at `path` (a
// host path) holds applications at all, 0 when it holds none (its rows then
// say nothing of the machine), -1 with *error when it does not read.
int CollectInventory(const std::string& path, std::vector<SXInventoryRow>* rows, std::string* error);

}  // namespace orvalinth::server
