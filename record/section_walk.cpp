#include "record/section_walk.h"

#include <algorithm>
#include <string_view>

#include "base/strings.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {

CXSectionWalk::CXSectionWalk(CXSnapshotWriter& writer) : writer_(writer), spool_(writer), tables_(kMaxDepth) {}

CXSectionWalk::~CXSectionWalk() {
  // Run() uses this object's members: end it while they still exist.
  StopJob(true);
}

void CXSectionWalk::OrderRoots(std::vector<std::u16string>* roots) {
  std::sort(roots->begin(), roots->end(),
            [](const std::u16string& a, const std::u16string& b) { return CompareNames(a, b) < 0; });
  std::vector<std::u16string> kept;
  kept.reserve(roots->size());
  for (std::u16string& root : *roots) {
    // In this order a root's descendants follow it directly, so comparing
    // with the last kept root suffices.
    if (!kept.empty()) {
      const std::u16string& before = kept.back();
      const bool covered = EqualsFolded(before, root) || (!before.empty() && before.back() == u'\\' &&
                                                          StartsWithFolded(root, before));
      if (covered) continue;
    }
    kept.push_back(std::move(root));
  }
  *roots = std::move(kept);
}

size_t CXSectionWalk::RootPartLength(const std::u16string& root) {
  const size_t slash = root.find(u'\\');
  return slash == std::u16string::npos ? root.size() : slash + 1;
}

CXNodeTable& CXSectionWalk::table(int32_t depth) {
  std::unique_ptr<CXNodeTable>& slot = tables_[static_cast<size_t>(depth)];
  if (slot == nullptr) slot = std::make_unique<CXNodeTable>();
  return *slot;
}

void CXSectionWalk::RecordSections(const std::vector<std::u16string>& roots, int32_t kind) {
  size_t index = 0;
  while (index < roots.size() && !StopRequested()) {
    const std::u16string& first = roots[index];
    const size_t part_length = RootPartLength(first);
    const std::u16string_view part(first.data(), part_length);
    size_t end = index + 1;
    while (end < roots.size() && roots[end].size() >= part_length &&
           EqualsFolded(std::u16string_view(roots[end]).substr(0, part_length), part)) {
      ++end;
    }

    payload_.Rewind();
    // A long section streams into the spool as it is built (storage/payload_spool.h).
    spool_.Attach(payload_);
    payload_.WriteU8(0x01);
    const std::u16string name = SectionName(std::u16string(part));
    SXNodeRecord* root = table(0).Append(name, 0);
    if (first.size() == part_length) {
      // The root part itself (a drive, a root key): ordering left it alone in its group.
      path_ = first;
      ScanRoot(root);
    } else {
      Walk(roots, end, &index, part_length, 1);
      root->child_offset = table(1).Flush(payload_, true);
    }
    // Root nodes carry no error: a root that cannot be read has no offsets.
    root->error = 0;
    const int32_t root_offset = table(0).Flush(payload_, false);
    if (StopRequested()) break;
    writer_.AddSection(kind, name, root_offset, payload_, &spool_);
    payload_.Release();
    index = end;
  }
  spool_.Discard();
  payload_.Release();
}

void CXSectionWalk::Walk(const std::vector<std::u16string>& roots, size_t end, size_t* index, size_t pos,
                         int32_t depth) {
  const std::u16string_view shared(roots[*index].data(), pos);
  do {
    if (StopRequested()) {
      *index = end;
      return;
    }
    const std::u16string& root = roots[*index];
    size_t slash = root.find(u'\\', pos);
    if (slash == std::u16string::npos) slash = root.size();
    const bool last = slash + 1 >= root.size();
    SXNodeRecord* node = table(depth).Append(root.data() + pos, static_cast<int32_t>(slash - pos), 0);
    if (last) {
      path_ = root;
      ScanTarget(node, depth);
      ++*index;
    } else if (depth + 1 >= kMaxDepth) {
      // Deeper than the tables reach: the node stays without contents, and so
      // do the other targets below it.
      TargetTooDeep(node);
      const std::u16string_view below(root.data(), slash + 1);
      while (*index < end && StartsWithFolded(roots[*index], below)) ++*index;
    } else {
      Walk(roots, end, index, slash + 1, depth + 1);
      node->child_offset = table(depth + 1).Flush(payload_, true);
    }
  } while (*index < end && StartsWithFolded(roots[*index], shared));
}

}  // namespace orvalinth
