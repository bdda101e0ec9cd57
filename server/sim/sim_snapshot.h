#pragma once
// The snapshot bytes the simulated agents serve. One real snapshot file is
// read once and every agent serves it, unchanged, for every snapshot it
// holds: the blocks on the wire are then exactly what a console receives
// from an agent that recorded that file. Two variants are made from it, once
// per fleet, for the agents that misbehave on purpose:
//
//   corrupt    the same size and header, its first stored blocks overwritten
//              with FF bytes: a block header that claims more than the file
//              holds, so that no reader can take the file;
//   clock-off  the info block's finish time replaced (another time text of
//              the same form, "%4d-%02d-%02d %02d:%02d"), the block stored
//              again as the writer stores it, compressed when that pays.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace orvalinth::sim {

using SnapshotBytes = std::shared_ptr<const std::string>;

// Reads the whole file at `path` (UTF-8); null with *error when it cannot be
// read or is larger than a download can announce (2 GiB).
SnapshotBytes LoadSnapshotFile(const std::string& path, std::string* error);

// The corrupt variant of `bytes` (same size).
std::string CorruptSnapshot(const std::string& bytes);

// The finish time in the info block of the snapshot `bytes`; false with
// *error when the file has no info block that can be read.
bool SnapshotFinishTime(const std::string& bytes, std::string* time, std::string* error);

// `bytes` with the info block's finish time replaced by `time`; false with
// *error when the file has no info block that can be read.
bool ReplaceFinishTime(const std::string& bytes, const std::string& time, std::string* out, std::string* error);

// The local time `t` as the info block writes it: "%4d-%02d-%02d %02d:%02d".
std::string FinishTimeText(std::time_t t);

// How far the clock of a "clock-off" agent is ahead of the real one.
inline constexpr std::time_t kClockOffSeconds = 365 * 24 * 3600;

}  // namespace orvalinth::sim
