#pragma once
// The agent's own link to the console in one snapshot: the TCP connection of
// the agent's process (OrvalinthSrv.exe, or OrvalinthSrv of the Linux
// build), which is the only connection the agent makes, and, when the
// console runs on the same machine, the console's end of it (the endpoint
// whose local and remote addresses are the link's the other way round). It
// changes at every reconnect and tells an administrator nothing, so the
// filter can leave it out ("agent-link") wherever it appears: in "Opened
// Ports" and under the processes of "Running Processes".

#include <string>
#include <utility>
#include <vector>

#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth::report {

class CXSnapshotStream;

class CXAgentLink {
 public:
  // Adds the link found in the "Opened Ports" section of `snapshot` (read
  // now; a fault raises as the stream's reads do); none when it has no such
  // section.
  void Find(CXSnapshotStream& snapshot);
  // Whether `item` (a port of "Opened Ports" or under a process) is an end of the link.
  bool Holds(const SXReadItem& item) const;
  bool empty() const { return ends_.empty(); }

 private:
  std::vector<std::pair<SXReadAddress, SXReadAddress>> ends_;  // (local, remote) of each end
};

}  // namespace orvalinth::report
