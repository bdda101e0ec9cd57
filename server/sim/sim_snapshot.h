#pragma once
// The snapshot bytes the simulated agents serve. One real snapshot file is
// read once; every agent serves it for every snapshot it holds, with the
// snapshot number inside its info block made the one asked for (a console
// that checks the number takes it as that snapshot). The blocks on the wire
// are then what a console receives from an agent that recorded that file.
// Variants of each number, for the agents that misbehave on purpose:
//
//   corrupt    the same size and header, its first stored blocks overwritten
//              with FF bytes: a block header that claims more than the file
//              holds, so that no reader can take the file;
//   clock-off  the info block's finish time replaced (another time text of
//              the same form, "%4d-%02d-%02d %02d:%02d"), the block stored
//              again as the writer stores it, compressed when that pays.
//
// CXSnapshotVariants makes each (variant, number) when an agent first asks
// for it and keeps the last few asked for, shared by every agent of a fleet:
// 10,000 agents downloading their snapshot 3 share one copy, and the cache
// never holds more than its bound (an agent streaming an evicted copy keeps
// its own reference until the download ends).

#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

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

// The snapshot number in the info block of `bytes`; false with *error when
// the file has no info block that can be read.
bool SnapshotNumber(const std::string& bytes, int32_t* number, std::string* error);

// `bytes` with the info block's snapshot number replaced by `number`; false
// with *error when the file has no info block that can be read.
bool ReplaceSnapshotNumber(const std::string& bytes, int32_t number, std::string* out, std::string* error);

// The local time `t` as the info block writes it: "%4d-%02d-%02d %02d:%02d".
std::string FinishTimeText(std::time_t t);

// How far the clock of a "clock-off" agent is ahead of the real one.
inline constexpr std::time_t kClockOffSeconds = 365 * 24 * 3600;

enum class SnapshotVariant { kNormal, kCorrupt, kClockOff };

// The bytes served for each snapshot number, made lazily from one file and
// shared between threads (every call takes a lock; making a copy happens
// outside it).
class CXSnapshotVariants {
 public:
  // How many (variant, number) copies are kept at most.
  static constexpr size_t kDefaultKept = 16;

  // `clock_off_time`: the finish time of the clock-off variants. A file that
  // is no snapshot (no info block) is served unchanged for every number.
  CXSnapshotVariants(SnapshotBytes base, std::string clock_off_time, size_t kept = kDefaultKept);
  CXSnapshotVariants(const CXSnapshotVariants&) = delete;
  CXSnapshotVariants& operator=(const CXSnapshotVariants&) = delete;

  // Snapshot `number` as `variant` serves it. The clock-off variant of a
  // file that is no snapshot is the file itself (the fleet refuses to start
  // clock-off agents with such a file).
  SnapshotBytes Get(SnapshotVariant variant, int32_t number);
  const SnapshotBytes& base() const { return base_; }
  // Copies held now (at most the bound).
  size_t cached() const;

 private:
  using Key = std::pair<SnapshotVariant, int32_t>;
  SnapshotBytes Make(SnapshotVariant variant, int32_t number);

  const SnapshotBytes base_;
  const std::string clock_off_time_;
  const size_t kept_;
  int32_t base_number_ = 0;  // the file's own number; 0 when it is no snapshot
  mutable std::mutex lock_;
  std::list<std::pair<Key, SnapshotBytes>> recent_;  // most recently asked first
  std::map<Key, std::list<std::pair<Key, SnapshotBytes>>::iterator> index_;
};

}  // namespace orvalinth::sim
