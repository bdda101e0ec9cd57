#pragma once
// The entries of a comparison of two snapshots (and of the report of one):
// a stream of changes, each with where it lies, what it is and its old and
// new values, handed one at a time to a sink, so that no output format needs
// the snapshots as a whole.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth::report {

enum class SXChangeType { kAdded, kRemoved, kChanged, kPresent };

enum class SXEntryKind {
  kSection,  // a whole section only one snapshot has
  kFolder,
  kFile,
  kKey,
  kValue,
  kAppNode,  // a node of an applications category (a process, a group of programs)
  kItem,
};

// What lies below a folder, key or applications node (itself included for
// folders, keys and nodes), as far as the filter lets it.
struct SXRollUp {
  uint64_t folders = 0;
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t keys = 0;
  uint64_t values = 0;
  uint64_t nodes = 0;
  uint64_t items = 0;
  bool Empty() const { return files == 0 && values == 0 && items == 0 && folders == 0 && keys == 0 && nodes == 0; }
  void Add(const SXRollUp& o) {
    folders += o.folders;
    files += o.files;
    bytes += o.bytes;
    keys += o.keys;
    values += o.values;
    nodes += o.nodes;
    items += o.items;
  }
};

struct SXChange {
  SXChangeType type = SXChangeType::kPresent;
  SXEntryKind kind = SXEntryKind::kFile;
  int section_kind = kReadFiles;  // kReadRegistry, kReadFiles, kReadApplications
  const std::u16string* section = nullptr;           // the section's name
  const std::vector<std::u16string>* parent = nullptr;  // node names from the section's root down to the entry's node
  std::u16string name;  // the entry's own name (a value's "" is the default value)
  // Old and new values; for kAdded only the new, for kRemoved only the old,
  // for kPresent the new.
  const SXReadFile* old_file = nullptr;
  const SXReadFile* new_file = nullptr;
  const SXReadValue* old_value = nullptr;
  const SXReadValue* new_value = nullptr;
  const SXReadItem* old_item = nullptr;
  const SXReadItem* new_item = nullptr;
  const SXReadNode* old_node = nullptr;  // folders, keys, applications nodes
  const SXReadNode* new_node = nullptr;
  SXRollUp old_rollup, new_rollup;  // folders, keys, nodes and sections
};

class CXChangeSink {
 public:
  virtual ~CXChangeSink() = default;
  virtual void Change(const SXChange& change) = 0;
};

// "files", "folders", "registry keys", "registry values", "sections", or
// the applications category.
std::u16string CountLabel(const SXChange& change);

// The counts of a stream of changes by label, in order of first appearance
// (the order of the walk: registry, files, applications).
struct SXChangeCounts {
  struct Row {
    std::u16string label;
    uint64_t added = 0, removed = 0, changed = 0, present = 0;
  };
  std::vector<Row> rows;
  uint64_t added = 0, removed = 0, changed = 0, present = 0;
  uint64_t total() const { return added + removed + changed + present; }
};

class CXCountingSink final : public CXChangeSink {
 public:
  void Change(const SXChange& change) override;
  const SXChangeCounts& counts() const { return counts_; }
  // How many entries lie below each folder, key or node that holds any
  // (keyed by NodeKey), so that a page can fold the large ones.
  const std::unordered_map<std::u16string, uint64_t>& below() const { return below_; }

 private:
  SXChangeCounts counts_;
  std::unordered_map<std::u16string, uint64_t> below_;
};

// The key of the node `path[0..depth)` of a section in CXCountingSink::below().
std::u16string NodeKey(const std::u16string& section, const std::vector<std::u16string>& path, size_t depth);

// The full path of the entry: section root and nodes joined by "\", then the name.
std::u16string EntryPath(const SXChange& change);

}  // namespace orvalinth::report

namespace orvalinth::report {
// The name an item goes by in a path: the object name of handles, the
// protocol and local address of ports, else the item's name.
std::u16string ItemEntryName(const SXReadItem& item);
}  // namespace orvalinth::report
