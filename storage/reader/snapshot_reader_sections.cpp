// The tree of a section payload, walked without recursion so that a deep or
// hostile file cannot exhaust the stack.

#include <unordered_map>

#include "base/strings.h"
#include "storage/reader/snapshot_reader_payloads.h"
#include "storage/reader/snapshot_reader_records.h"

namespace orvalinth {
namespace snapshot_read {
namespace {

const char* ContentName(int kind) {
  switch (kind) {
    case kReadRegistry: return "value run";
    case kReadFiles: return "file run";
    default: return "item run";
  }
}

// A node still to be filled: its child table and content lie before `limit`,
// the start of the table that holds the node.
struct Pending {
  SXReadNode* node;
  uint32_t record;
  uint32_t child;
  uint32_t content;
  uint32_t limit;
  uint32_t depth;
};

class CXSectionWalk {
 public:
  CXSectionWalk(CXPayloadCursor& cursor, int kind) : c_(cursor), kind_(kind) {}

  SXReadNode Run(uint32_t root_offset) {
    c_.Enter("section payload", 0);
    const uint8_t mark = c_.U8();
    if (mark != 0x01) c_.Fail("section payload", 0, Format("begins with %u instead of the format mark 1", mark));
    if (root_offset == 0 || root_offset >= c_.size()) {
      c_.Fail("root node table", root_offset, Format("lies outside the payload (%u bytes)", c_.size()));
    }
    c_.Seek(root_offset);
    std::vector<NodeEntry> roots = ReadNodeTable(c_);
    if (roots.size() != 1) {
      c_.Fail("root node table", root_offset, Format("holds %u nodes (a section has one root)", static_cast<unsigned>(roots.size())));
    }
    if (c_.position() != c_.size()) {
      c_.Remark("root node table", root_offset,
                Format("is followed by %u bytes (it should end the payload)", c_.size() - c_.position()));
    }
    SXReadNode root = std::move(roots[0].node);
    Push(&root, roots[0], root_offset, 0);
    while (!pending_.empty()) {
      const Pending work = pending_.back();
      pending_.pop_back();
      Fill(work);
    }
    return root;
  }

 private:
  enum Use : uint8_t { kTable = 1, kContent = 2 };

  void Push(SXReadNode* node, const NodeEntry& entry, uint32_t limit, uint32_t depth) {
    if (entry.child == 0 && entry.content == 0) return;
    pending_.push_back(Pending{node, entry.record, entry.child, entry.content, limit, depth});
  }

  // Checks that `offset` points backwards, before the table holding the node,
  // and that nothing else reads the same bytes as another kind of structure.
  void Target(const Pending& work, uint32_t offset, Use use) {
    const char* what = use == kTable ? "child table" : "content";
    if (offset >= work.limit) {
      c_.Fail("node", work.record,
              Format("points to its %s at payload offset %u, which is not before its own table at %u%s", what,
                     offset, work.limit, offset == work.limit ? " (a loop)" : ""));
    }
    auto [it, fresh] = uses_.emplace(offset, use);
    if (!fresh && it->second != use) {
      c_.Fail("node", work.record,
              Format("points to its %s at payload offset %u, which another node reads as its %s", what, offset,
                     it->second == kTable ? "child table" : "content"));
    }
    if (!fresh && use == kTable) {
      c_.Remark("node", work.record, Format("shares its child table at payload offset %u with another node", offset));
    }
    c_.Seek(offset);
  }

  void CheckEnd(const Pending& work, uint32_t start, const char* what) {
    if (c_.position() > work.limit) {
      c_.Fail(what, start, Format("runs into the node table at payload offset %u that points at it", work.limit));
    }
  }

  void Fill(const Pending& work) {
    if (work.content != 0) {
      Target(work, work.content, kContent);
      switch (kind_) {
        case kReadRegistry: work.node->values = ReadValueRun(c_); break;
        case kReadFiles: work.node->files = ReadFileRun(c_); break;
        default: work.node->items = ReadItemRun(c_); break;
      }
      CheckEnd(work, work.content, ContentName(kind_));
    }
    if (work.child != 0) {
      if (work.depth + 1 > c_.context().limits.max_depth) {
        c_.Fail("node", work.record, Format("nests node tables deeper than %u levels", c_.context().limits.max_depth));
      }
      Target(work, work.child, kTable);
      std::vector<NodeEntry> table = ReadNodeTable(c_);
      CheckEnd(work, work.child, "node table");
      std::vector<SXReadNode>& children = work.node->children;
      children.reserve(table.size());
      for (NodeEntry& entry : table) children.push_back(std::move(entry.node));
      // The children vector is complete: pointers into it stay valid while
      // the children themselves are filled.
      for (size_t i = 0; i < table.size(); ++i) Push(&children[i], table[i], work.child, work.depth + 1);
    }
  }

  CXPayloadCursor& c_;
  int kind_;
  std::vector<Pending> pending_;
  std::unordered_map<uint32_t, Use> uses_;
};

}  // namespace

SXReadNode ReadSectionTree(CXPayloadCursor& cursor, int kind, uint32_t root_offset) {
  return CXSectionWalk(cursor, kind).Run(root_offset);
}

}  // namespace snapshot_read
}  // namespace orvalinth
