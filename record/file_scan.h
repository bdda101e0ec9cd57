#pragma once
// CXFileScan: the file system job of a recording. It records the folders and
// files below the file targets of the scan request, one section per drive
// ("c:\"): for every folder its name, attributes, the error of a search that
// failed, and its subfolders; for every file its name, attributes, last-write
// time, size and, for executables when the request asks for it, an index into
// the snapshot's executable-version table. Folders that are reparse points
// (junctions, mount points, symbolic links) are recorded as links and never
// entered; folders deeper than 1,023 levels below their drive are recorded
// without contents (a target deeper than that: its node at the limit, with
// the error 206 that Windows gives for too long a name); excluded folders are
// left out. Paths longer than any Windows path (32,767 units) are not
// searched: their nodes carry that error too.
//
// Counting (kind 1): the first progress counter gets every folder entered
// (roots included) once per folder, the second the files in batches of 100.
//
// Each target's subtree is listed by a CXFolderLister (record/folder_lister.h)
// on a second thread while this job's thread records what it lists.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "record/count_batch.h"
#include "record/folder_lister.h"
#include "record/section_walk.h"
#include "storage/file_records.h"

namespace orvalinth {

class CXScanRequest;

class CXFileScan final : public CXSectionWalk {
 public:
  static constexpr int32_t kFileBatch = 100;

  // The roots a file job of `request` scans: for a job over everything the
  // present drives, "a:\" to "z:\", fixed ones only unless the request takes
  // removable drives (then every present drive); otherwise the file include
  // list. Empty: no job.
  static std::vector<std::u16string> JobRoots(const CXScanRequest& request);

  // `root` lower-cased, then each folder component replaced by the name the
  // file system stores for it ("c:\windows\" becomes "c:\Windows\"); a
  // component that cannot be found, or holds a wildcard, stays lower-cased,
  // and so does everything after it and everything beyond the depth limit.
  // Repeated backslashes are taken as one. One lookup per component, from
  // the first on; a stop requested of `job` (when given) ends the lookups.
  static std::u16string StoredNamePath(const std::u16string& root, const CXScanThread* job = nullptr);

  // A job over `roots` for `request` (whose file exclusion set must be made
  // already); `has_version_info_extension` (may be null) says which files get
  // their version information looked up when the request asks for it.
  CXFileScan(CXSnapshotWriter& writer, const CXScanRequest& request, std::vector<std::u16string> roots,
             bool (*has_version_info_extension)(const std::u16string& name));
  ~CXFileScan() override;

  // How the subtrees are listed: on a thread of their own (the default) or
  // on the job's, and in pieces of how many entries at most. Set before the
  // start; the snapshot is the same either way.
  void set_listing(bool thread, int32_t piece_entries) {
    listing_thread_ = thread;
    listing_piece_entries_ = piece_entries;
  }
  // The most memory one folder's files took while they waited to be sorted
  // and written (the scan's one term that grows with a folder), read after
  // the job has ended.
  size_t largest_run_bytes() const { return largest_run_bytes_; }

 protected:
  void Run() override;
  std::u16string SectionName(const std::u16string& root_part) override { return root_part; }
  void ScanRoot(SXNodeRecord* root) override;
  void ScanTarget(SXNodeRecord* node, int32_t depth) override;
  void TargetTooDeep(SXNodeRecord* node) override;

 private:
  // The target in the path buffer is looked up: missing (the node gets the
  // error), a link, or a folder that is scanned.
  void LookUpAndScan(SXNodeRecord* node, int32_t depth);
  // Scans the folder in the path buffer into `node` of `depth`: lists its
  // subtree and records it.
  void ScanFolder(SXNodeRecord* node, int32_t depth);
  // Records the next folder the lister hands over (the one in the path
  // buffer) into `node` of `depth`, then its subfolders.
  void RecordFolder(SXNodeRecord* node, int32_t depth);
  // Makes `node` of `depth` a link to where `folder` (a reparse point) leads,
  // when that can be read; else the node stays without link and contents.
  void MakeLink(SXNodeRecord* node, int32_t depth, const std::u16string& folder);
  CXSnapshotDataFileRecArray& files(int32_t depth);

  const CXScanRequest& request_;
  std::vector<std::u16string> roots_;
  bool (*has_version_info_extension_)(const std::u16string& name);
  CXSerializedAccessInt& folder_counter_;
  CXSerializedAccessInt& file_counter_;
  std::vector<std::unique_ptr<CXSnapshotDataFileRecArray>> file_arrays_;
  CXFolderLister* lister_ = nullptr;  // the lister of the target being scanned
  bool listing_thread_ = true;
  int32_t listing_piece_entries_ = CXFolderLister::kPieceEntries;
  std::u16string name_;  // reused for every file looked up for its version: no allocation per file
  std::u16string link_target_;
  size_t largest_run_bytes_ = 0;
};

}  // namespace orvalinth
