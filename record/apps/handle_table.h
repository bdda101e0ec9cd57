#pragma once
// The open handles of the machine: every handle to a file, a folder, an
// object directory or a registry key, with its object's name in a familiar
// form. Built during the processes phase of the applications scan; the
// processes collector puts each process's handles under its node, and this
// unit writes the category "Opened Handles".
//
// Building the table:
//  1. the volume map: every volume mounted at a drive root whose device is
//     "\Device\HarddiskVolume<n>" with n below 100 gives drive letter n;
//  2. the system handle table, read whole; one owner process open at a time,
//     reopened when the pid changes (the system delivers the entries grouped
//     by process); each handle duplicated into this process and its type
//     asked for: "key" 3, "file" 1, "directory" 2 (A-Z case ignored), any
//     other type skipped, and file handles skipped where the system says
//     their names must not be asked for; the name through the name-query
//     worker (a query that blocks is given up after the time limit and not
//     made again in later scans while its process lives; past the cap of
//     blocked workers, or when no worker can be started, the rest go
//     without names, logged once a scan); a handle without a name, or with
//     an empty one, is left out;
//  3. the names translated (TranslateObjectName);
//  4. the table sorted by pid, object name (A-Z case ignored), type code.
//
// "Opened Handles": one kind-8 item per owner and object name. Rows (pid,
// owner path or the pid in decimal, type, name) are sorted by owner, object
// name (both A-Z case ignored) and type code; a row whose owner and object
// name equal the previous row's is dropped. Each item gets the type, the
// object name and the object's file information (a file handle whose object
// is a folder becomes a folder handle), and the name and path of its
// process (NameOwner) with the path's file information. The run is written
// sorted as offset B; offset A stays 0.

#include <cstdint>
#include <string>
#include <vector>

#include "record/apps/apps_scan.h"
#include "record/apps/name_query_worker.h"
#include "record/apps/process_records.h"

namespace orvalinth {

class CXAppItemList;

namespace platform {
struct VolumeEntry;
}  // namespace platform

// Handle types of the items.
enum : uint32_t {
  kHandleOther = 0,
  kHandleFile = 1,
  kHandleFolder = 2,
  kHandleKey = 3,
};

struct SXHandleRecord {
  uint32_t pid = 0;
  uint16_t handle = 0;
  uint32_t type = kHandleOther;
  std::u16string object_name;
};

// Volume number to drive letter (0: none), for volumes 0 to 99.
class CXVolumeMap {
 public:
  static constexpr int kSize = 100;

  void Fill(const std::vector<platform::VolumeEntry>& entries);
  void Set(int volume, char letter) { if (volume >= 0 && volume < kSize) letters_[volume] = letter; }
  char Letter(int volume) const { return volume >= 0 && volume < kSize ? letters_[volume] : 0; }

 private:
  char letters_[kSize] = {};
};

// The name as shown: "\REGISTRY\MACHINE" and "\REGISTRY\USER" followed by the
// end or "\" become "HKLM" and "HKU"; "\Device\HarddiskVolume<n>\" with n of
// one or two digits becomes the drive letter and ":" when the map has one
// for n (the "\" stays); "\??\X:\..." becomes "X:\..."; every other name (A-Z case ignored in the prefixes)
// is unchanged.
std::u16string TranslateObjectName(const std::u16string& name, const CXVolumeMap& volumes);

class CXHandleTable {
 public:
  // `hung`: what name queries of earlier scans found hanging (name_query_worker.h).
  explicit CXHandleTable(uint32_t name_timeout_ms = 500, CXHungHandles& hung = CXHungHandles::Process())
      : name_timeout_ms_(name_timeout_ms), hung_(hung) {}

  // Fills and sorts the table (steps above).
  void Build();
  // Appends the kind-6 items of `pid` to `items`: its records in table
  // order, one whose object name is exactly the previous one's left out,
  // each with its object's file information.
  void AddProcessItems(const SXAppsScanContext& context, uint32_t pid, CXAppItemList* items) const;
  // Writes "Opened Handles".
  void WriteCategory(SXAppsScanContext& context, const CXProcessMap& processes) const;

  const std::vector<SXHandleRecord>& records() const { return records_; }
  // The index of the first record of `pid`, or -1.
  int32_t FirstOf(uint32_t pid) const;
  // Why the table is empty ("NQSI missing", ...), or empty.
  const std::string& error() const { return error_; }
  int replaced_workers() const { return replaced_workers_; }
  // Handles whose name was not asked for: past the cap of blocked workers,
  // or no worker could be started.
  int unnamed() const { return unnamed_; }
  int64_t name_wait_us() const { return name_wait_us_; }

 private:
  const uint32_t name_timeout_ms_;
  CXHungHandles& hung_;
  std::vector<SXHandleRecord> records_;
  std::string error_;
  int replaced_workers_ = 0;
  int unnamed_ = 0;
  int64_t name_wait_us_ = 0;
};

}  // namespace orvalinth
