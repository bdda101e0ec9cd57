#pragma once
// SXNodeRecord and CXNodeTable: the nodes of one level of a tree (the
// subfolders of a folder, the subkeys of a key, a section's root) and the
// table that writes them. Nodes and their names live in the table's pool
// until the table is flushed. Format of each node: see storage/data_dir.h.

#include <cstdint>
#include <string_view>
#include <vector>

#include "storage/record_pool.h"

namespace orvalinth {

class CXMemWriter;

struct SXNodeRecord {
  int32_t error;             // 0, or the system error code of opening the folder or key
  uint16_t attributes;       // folder: low 16 bits of the file attributes; key and category: 0
  uint16_t name_length;      // units
  int32_t child_offset;      // payload offset of the children's node table, 0 for none
  int32_t content_offset;    // payload offset of the file, value or item run, 0 for none
  const char16_t* link_target;  // zero-terminated, in the table's pool; null for no link
  int32_t link_target_length;   // units
  int32_t link_type;            // kLinkRegistry, kLinkSymbolic, kLinkJunction; 0 for no link

  // The name's units follow the record in the same piece.
  char16_t* name() { return reinterpret_cast<char16_t*>(this + 1); }
  const char16_t* name() const { return reinterpret_cast<const char16_t*>(this + 1); }
  std::u16string_view name_view() const { return std::u16string_view(name(), name_length); }
};

class CXNodeTable {
 public:
  CXNodeTable();
  CXNodeTable(const CXNodeTable&) = delete;
  CXNodeTable& operator=(const CXNodeTable&) = delete;

  // A new node with the name (cut to 65,535 units) and attributes, error 0,
  // no offsets and no link, appended to the table; the caller fills the rest.
  SXNodeRecord* Append(const char16_t* name, int32_t length, uint16_t attributes);
  SXNodeRecord* Append(std::u16string_view name, uint16_t attributes) {
    return Append(name.data(), static_cast<int32_t>(name.size()), attributes);
  }
  // Makes `node` a link of `type` to `target` (copied into the pool); a link
  // has neither children nor content.
  void SetLink(SXNodeRecord* node, std::u16string_view target, int32_t type);

  // Writes the table at the writer's position (sorted by the name order when
  // `sort`), the last node with the end mark, empties the table and returns
  // the position; an empty table writes nothing and returns 0.
  int32_t Flush(CXMemWriter& writer, bool sort);

  int32_t size() const { return static_cast<int32_t>(nodes_.size()); }
  SXNodeRecord* at(int32_t index) const { return nodes_[static_cast<size_t>(index)]; }

 private:
  std::vector<SXNodeRecord*> nodes_;
  CXRecordPool pool_;
};

}  // namespace orvalinth
