#pragma once
// CXSectionWalk: what the file system scan and the registry scan share. Both
// record a list of root paths ("c:\Windows\", "HKEY_LOCAL_MACHINE\SOFTWARE\")
// as sections, one per group of roots with the same root part (the text up
// to and including the first "\"): the section's root node, below it one node
// per path component down to each target, consecutive roots sharing the
// nodes of their common path, and each target scanned into its node by the
// derived job. Payloads are built bottom-up: a node's child table is flushed
// (sorted by the name order) after everything below it; a payload longer
// than a part streams into a spool as it is built, so that a section of
// any size takes about two parts of memory (storage/payload_spool.h).
//
// The walk keeps one node table per depth, 1,024 in all (the depth limit of
// both scans), made when a depth is first reached; the path buffer holds the
// path of the folder or key being scanned, ending with "\".

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/scan_thread.h"
#include "storage/mem_writer.h"
#include "storage/node_table.h"
#include "storage/payload_spool.h"

namespace orvalinth {

class CXSnapshotWriter;

class CXSectionWalk : public CXScanThread {
 public:
  static constexpr int32_t kMaxDepth = 1024;

  explicit CXSectionWalk(CXSnapshotWriter& writer);
  ~CXSectionWalk() override;

  // Puts roots in the order the walk needs: sorted by the name order, with
  // every root that equals an earlier one or lies below it (A-Z folded)
  // dropped, since the earlier root's scan records it already. Sorting keeps
  // the roots of one section, and of one subtree, next to each other.
  static void OrderRoots(std::vector<std::u16string>* roots);
  // The length of the root part: up to and including the first "\", or the
  // whole root when it has none.
  static size_t RootPartLength(const std::u16string& root);

 protected:
  // Records the ordered roots as sections of `kind`, each named by
  // SectionName(root part). Ends early, without storing the section being
  // built, when a stop is requested.
  void RecordSections(const std::vector<std::u16string>& roots, int32_t kind);

  // The section's name for a root part.
  virtual std::u16string SectionName(const std::u16string& root_part) = 0;
  // Scans the target in the path buffer into `root`, the section's root
  // node (depth 0), for a root that ends with its root part.
  virtual void ScanRoot(SXNodeRecord* root) = 0;
  // Scans the target in the path buffer into `node` of depth `depth`.
  virtual void ScanTarget(SXNodeRecord* node, int32_t depth) = 0;
  // `node`, at the last depth, lies on the way to a target deeper than the
  // walk reaches; it stays without contents.
  virtual void TargetTooDeep(SXNodeRecord* /*node*/) {}

  // The node table of `depth` (0 to kMaxDepth - 1).
  CXNodeTable& table(int32_t depth);

  CXSnapshotWriter& writer_;
  CXMemWriter payload_;
  CXPayloadSpool spool_;  // where payload_ streams once it is long
  std::u16string path_;

 private:
  // Appends the components at `pos` of roots[*index] and of the following
  // roots that share its first `pos` units, to the table of `depth`.
  void Walk(const std::vector<std::u16string>& roots, size_t end, size_t* index, size_t pos, int32_t depth);

  std::vector<std::unique_ptr<CXNodeTable>> tables_;
};

}  // namespace orvalinth
