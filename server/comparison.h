#pragma once
// Comparison on arrival: a snapshot just stored compared with the machine's
// previous one by the report engine (tools/report/compare.h), as
// "orvalinth diff" compares them and with the same default filter, reduced
// to what the catalog keeps: the counts of added, removed and changed
// entries per kind and category, and one row per change.
//
// The engine streams both files (a section payload of each and the node
// tables along the path in memory), and so does this: rows are kept up to
// `max_rows`. A comparison with more rows than that writes every one of them
// to a change file beside the new snapshot (change_file.h) as they come, and
// the result keeps the counts, the registry and applications rows (at most
// `max_rows` of them) and the file's path: the file rows of a machine that
// changed a million files live only in the file.
//
// Both snapshots are untrusted input: one that does not read ends the
// comparison with an error naming the file and the offset of the fault,
// never more. Every call is independent; calls may run on several threads at
// once (the filter is only read).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/change_file.h"
#include "tools/report/filter.h"

namespace orvalinth::server {

// The report's default filter (tools/report/default.filter, built in): the
// well-known noise of a Windows machine, the open handles, the agent's own link.
const char* DefaultFilterText();
// DefaultFilterText() parsed once.
std::shared_ptr<const report::CXReportFilter> DefaultFilter();

struct SXComparisonOptions {
  // What is left out; null: DefaultFilter().
  std::shared_ptr<const report::CXReportFilter> filter;
  // Rows the result holds at most; a comparison with more writes all of its
  // rows to the change file. 0: every comparison with a change writes one.
  size_t max_rows = 20000;
  // Bytes of each old and new text at most (UTF-8, cut at a character,
  // ending in "…"); at least 16, at most 65,536.
  size_t max_text = 1024;
  // Where the change file goes (a host path); empty: ChangeFilePath(new snapshot).
  std::string change_file;
  // When set (by another thread), the comparison stops at its next change
  // with kCancelled; null: never.
  const std::atomic<bool>* cancel = nullptr;
};

enum class SXComparisonStatus {
  kDone,
  kOldUnreadable,     // the older snapshot cannot be opened or does not read
  kNewUnreadable,     // the newer one
  kChangeFileFailed,  // the change file cannot be written (its temporary file is removed)
  kCancelled,         // SXComparisonOptions::cancel was set
  kAbandoned,         // never run: its pool stopped first (comparison_pool.h)
  kFailed,            // the work of a pool's job threw (the error says what)
};

// "done", "old snapshot unreadable", ...
const char* ComparisonStatusName(SXComparisonStatus status);

struct SXComparisonCount {
  SXChangeKind kind = SXChangeKind::kFiles;
  std::string category;  // as SXChange::category
  uint64_t added = 0, removed = 0, changed = 0;
};

struct SXComparison {
  SXComparisonStatus status = SXComparisonStatus::kDone;
  // For people, one line: the file and what went wrong; for a snapshot that
  // does not read, the file offset (and the payload offset) of the fault.
  std::string error;
  int64_t error_file_offset = -1;     // of that fault, -1 when none
  int64_t error_payload_offset = -1;  // inside the block at error_file_offset, -1 when none

  // The rest only when status is kDone.
  std::vector<SXComparisonCount> counts;  // per kind and category, in the order of the walk
  uint64_t added = 0, removed = 0, changed = 0;
  uint64_t row_count = 0;  // all changes: added + removed + changed
  // Every change in the order of the walk; with a change file only the
  // registry and applications ones, at most max_rows of them.
  std::vector<SXChange> rows;
  std::string change_file;  // the change file (host path) holding all row_count rows; empty when none
  bool rows_cut = false;    // registry or applications rows beyond max_rows are only in the change file

  bool ok() const { return status == SXComparisonStatus::kDone; }
  // The count of one kind and category; null when nothing of it changed.
  const SXComparisonCount* Count(SXChangeKind kind, const std::string& category) const;
};

// Compares the snapshot file at `old_path` with the one at `new_path` (host
// paths, UTF-8), as described above. A change file is written only when the
// rows exceed options.max_rows; otherwise one left at its path by an earlier
// run is removed, so that the file exists exactly when a result names it.
SXComparison CompareArrived(const std::string& old_path, const std::string& new_path,
                            const SXComparisonOptions& options = SXComparisonOptions());

// `text` cut to at most `max` bytes at a UTF-8 character boundary, "…" at
// its end when cut (max at least 3).
std::string BoundedText(std::string text, size_t max);

}  // namespace orvalinth::server
