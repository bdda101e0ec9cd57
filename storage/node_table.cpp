#include "storage/node_table.h"

#include <algorithm>
#include <cstring>

#include "base/strings.h"
#include "storage/data_dir.h"
#include "storage/mem_writer.h"

namespace orvalinth {

static_assert(sizeof(SXNodeRecord) % alignof(char16_t) == 0, "names follow the record");

CXNodeTable::CXNodeTable() { nodes_.reserve(1024); }

SXNodeRecord* CXNodeTable::Append(const char16_t* name, int32_t length, uint16_t attributes) {
  if (length < 0) length = 0;
  if (length > 0xFFFF) length = 0xFFFF;
  auto* node = static_cast<SXNodeRecord*>(pool_.Allocate(sizeof(SXNodeRecord) + 2 * static_cast<size_t>(length)));
  node->error = 0;
  node->attributes = attributes;
  node->name_length = static_cast<uint16_t>(length);
  node->child_offset = 0;
  node->content_offset = 0;
  node->link_target = nullptr;
  node->link_target_length = 0;
  node->link_type = kLinkNone;
  if (length > 0) std::memcpy(node->name(), name, 2 * static_cast<size_t>(length));
  nodes_.push_back(node);
  return node;
}

void CXNodeTable::SetLink(SXNodeRecord* node, std::u16string_view target, int32_t type) {
  auto* copy = static_cast<char16_t*>(pool_.Allocate(2 * (target.size() + 1)));
  if (!target.empty()) std::memcpy(copy, target.data(), 2 * target.size());
  copy[target.size()] = u'\0';
  node->link_target = copy;
  node->link_target_length = static_cast<int32_t>(target.size());
  node->link_type = type;
  node->child_offset = 0;
  node->content_offset = 0;
}

int32_t CXNodeTable::Flush(CXMemWriter& writer, bool sort) {
  if (nodes_.empty()) return 0;
  if (sort) {
    std::sort(nodes_.begin(), nodes_.end(), [](const SXNodeRecord* a, const SXNodeRecord* b) {
      return CompareNames(a->name_view(), b->name_view()) < 0;
    });
  }
  const int32_t position = writer.position();
  const size_t last = nodes_.size() - 1;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const SXNodeRecord* n = nodes_[i];
    WriteNodeRecord(writer, n->error, n->attributes, n->child_offset, n->content_offset, n->name(), n->name_length,
                    n->link_type, n->link_target, n->link_target_length, i == last);
  }
  nodes_.clear();
  pool_.Reset();
  return position;
}

}  // namespace orvalinth
