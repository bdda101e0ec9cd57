#pragma once
// Views of a decoded snapshot for people and programs: the readable tree,
// the summary of counts, and JSON. Used by "orvalinth dump" and by tests;
// the service never shows snapshots.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth {

// Where a view goes, piece by piece; lines end with "\n".
class CXDumpSink {
 public:
  virtual ~CXDumpSink() = default;
  virtual void Write(std::string_view text) = 0;
};

class CXStringSink final : public CXDumpSink {
 public:
  void Write(std::string_view text) override { text_.append(text.data(), text.size()); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// What a view shows: the snapshot, the name of its file, and the reader's remarks.
struct SXDumpDocument {
  const SXReadSnapshot* snapshot = nullptr;
  std::string file_name;  // UTF-8
  std::vector<std::string> remarks;
  uint64_t remark_count = 0;
};

struct SXDumpOptions {
  bool local_time = true;      // file times in local time (else UTC)
  size_t max_text_units = 200;  // longer texts are cut
  size_t max_data_bytes = 64;   // longer binary data is cut
  size_t max_references = 5;    // files named per version record
};

struct SXSnapshotCounts {
  uint64_t sections[3] = {0, 0, 0};  // registry, file-system, applications
  uint64_t keys = 0;                 // registry nodes (roots included), links not
  uint64_t folders = 0;              // file-system nodes (roots included), links not
  uint64_t application_nodes = 0;    // applications nodes (roots included)
  uint64_t values = 0;
  uint64_t files = 0;
  uint64_t file_bytes = 0;  // sizes of the files of the file-system sections
  uint64_t items = 0;
  uint64_t links = 0;
  uint64_t errors = 0;  // folders and keys that could not be opened
  uint64_t versions = 0;
  // The items of each applications section (its whole tree), in stored order.
  std::vector<std::pair<std::u16string, uint64_t>> category_items;
};

SXSnapshotCounts CountSnapshot(const SXReadSnapshot& snapshot);

// The info lines: file, title, time, machine, counters, version table, scan request.
void DumpInfo(const SXDumpDocument& document, const SXDumpOptions& options, CXDumpSink& out);
// The info, then every section as an indented tree, the version records with
// the files that use them, and the remarks.
void DumpText(const SXDumpDocument& document, const SXDumpOptions& options, CXDumpSink& out);
// The info, then the counts.
void DumpSummary(const SXDumpDocument& document, const SXDumpOptions& options, CXDumpSink& out);
// The whole decoded snapshot as one JSON object (UTF-8).
void DumpJson(const SXDumpDocument& document, CXDumpSink& out);

}  // namespace orvalinth
