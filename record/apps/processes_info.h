#pragma once
// CXProcessesInfo: the collector of the third phase, "Running Processes",
// "Loaded Dlls", "Opened Handles" and "Opened Ports".
//
// Processes: with SeDebugPrivilege enabled (failure ignored), the process
// ids are read with room for 1,024; a failed read is made once more with
// the room it asked for, and a list that fills its room exactly is read
// again with twice the room (a full list may have been cut; when that read
// fails, the list read before it is used). Each process is opened for querying and reading (skipped when it cannot be) and its
// modules listed (at most 4,096; skipped when none). The first module is the
// process itself: its command line, read from its process environment block
// (ReadCommandLine), runs through ResolveCommandPath for path and
// arguments, or, when that fails, the module's file name (no arguments).
// Every further module's file name runs through the resolver too ("" when it
// names no file). The records are sorted by path and arguments (A-Z case
// ignored); the distinct modules are the lower-cased module paths, sorted
// by their units, each once.
//
// Then the handle table (handle_table.h) and the port list (port_list.h) are
// built, and the payloads written:
//  - "Loaded Dlls": per distinct module (a stop request ends the phase at
//    once) a kind-1 item, source 10, with the lower-cased path, its file
//    looked up with version information and named after the version's
//    "ProductName", else after the path's file name; the second progress
//    counter counts each;
//  - per process, in record order (the same stop check): its handle run
//    (kind 6, unsorted), its port run (kind 7, sorted), its child node table
//    ("Opened Handles", "Opened Ports", each only when there are such
//    records; none when neither), and its module run (copies of its modules'
//    "Loaded Dlls" items, sorted); then its process item (kind 1, source 10,
//    path, arguments, file with version information, named like a module);
//  - "Opened Handles" and "Opened Ports";
//  - the "Loaded Dlls" run (offset B), the process items (offset B of
//    "Running Processes") and the processes node table, sorted by name
//    (offset A): a node per process named after its path's file name and,
//    when it has some, a blank and its arguments, pointing at its child
//    table and its module run.
// When the process list cannot be read at all, the phase writes nothing.

#include <cstdint>
#include <string>
#include <vector>

#include "record/apps/app_item_list.h"
#include "record/apps/apps_scan.h"
#include "record/apps/handle_table.h"
#include "record/apps/port_list.h"
#include "record/apps/process_records.h"

namespace orvalinth {

class CXNodeTable;

namespace platform {
class OpenedProcess;
}  // namespace platform

// The command line of `process` from its process environment block (64-bit
// layout: parameters at 0x20 of the block, the command line's byte length
// at 0x70 and its address at 0x78 of the parameters); empty when any step
// fails.
std::u16string ReadCommandLine(platform::OpenedProcess& process);

class CXProcessesInfo final : public CXAppsCollector {
 public:
  static constexpr uint32_t kFirstIdRoom = 4096;  // bytes: 1,024 ids
  static constexpr uint32_t kMaxModules = 4096;

  explicit CXProcessesInfo(uint32_t name_timeout_ms = 500, CXHungHandles& hung = CXHungHandles::Process())
      : handles_(name_timeout_ms, hung) {}
  ~CXProcessesInfo() override = default;

  void Run(SXAppsScanContext& context) override;

  // What the last run found (for the benchmark and the tests).
  const CXProcessRecords& processes() const { return records_; }
  const CXHandleTable& handles() const { return handles_; }
  const CXPortList& ports() const { return ports_; }
  size_t distinct_modules() const { return distinct_.size(); }

 private:
  // Fills the records; false when the process list cannot be read.
  bool Enumerate();
  void AddProcess(uint32_t pid);
  // The kind-1 item of a module or process, with its file and name.
  static void DescribeExecutable(SXAppsScanContext& context, SXSnapshotDataAppsBase* item);
  // Writes one process's runs and child table; fills its node.
  void WriteProcess(SXAppsScanContext& context, SXProcessRecord& record, CXNodeTable& nodes);

  CXProcessRecords records_;
  std::vector<std::u16string> distinct_;  // lower-cased, sorted
  CXAppItemList dlls_;                    // one per distinct module, same order until flushed
  CXAppItemList process_items_;
  CXHandleTable handles_;
  CXPortList ports_;
};

}  // namespace orvalinth
