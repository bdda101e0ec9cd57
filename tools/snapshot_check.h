#pragma once
// CheckSnapshotFile: the checks "orvalinth dump" makes of a snapshot file
// (the untrusting reader, every block and record), for the layers above
// tools/ that must not include the reader itself (scripts/check-layers, rule
// "reader"): the fleet server checks each download with it before keeping it.

#include <cstdint>
#include <string>

namespace orvalinth::tools {

struct SXSnapshotCheck {
  bool ok = false;
  // When not ok: the reader's message (it names the file offset, and the
  // payload offset inside a block, where the fault was found), and the
  // offsets themselves (-1 when not known).
  std::string error;
  int64_t file_offset = -1;
  int64_t payload_offset = -1;
  bool cannot_read = false;  // the file could not be opened or read, rather than being unsound

  // When ok: what the snapshot says of itself.
  int32_t number = 0;     // the agent's number of the snapshot
  std::string title;      // 8-bit, the agent's code page
  std::string time;       // the agent's local time of the recording, "YYYY-MM-DD HH:MM"
  std::string computer;   // 8-bit
  uint64_t keys = 0, values = 0, folders = 0, files = 0, file_bytes = 0, items = 0, errors = 0;
};

// Reads the whole snapshot file at `path` (Windows form, or a host path on
// POSIX) as "orvalinth dump" does. Memory in proportion to the snapshot's
// decoded size, bounded by the reader's limits; the file is read, never
// changed.
SXSnapshotCheck CheckSnapshotFile(const std::u16string& path);

}  // namespace orvalinth::tools
